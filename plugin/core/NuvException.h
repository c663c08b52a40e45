#pragma once
// The plug-in's one exception type. It logs itself when it is made (never when copied), and
// constructing or copying it never throws.

#include <windows.h>

#include <exception>
#include <string>

class CNuvException : public std::exception {
public:
    // Codes with a message template of their own.
    static constexpr int kProcessorException = -1000;  // arguments: exception code, faulting address (low 32 bits)
    static constexpr int kNotInitialized = -1001;      // no arguments

    // The template of the code is filled with the arguments (printf style, Microsoft's
    // conventions); any other code gives "Exception <code>".
    explicit CNuvException(int code, ...) noexcept;
    // The copy keeps the source's text (through its narrow form) when shorter than 1024
    // characters, else no message.
    CNuvException(const CNuvException& other) noexcept;
    CNuvException& operator=(const CNuvException& other) noexcept;
    ~CNuvException() override;

    // The message in the thread's code page, or "<unknown exception>"; valid as long as the object.
    const char* what() const noexcept override;
    // The message, or L"<unknown exception>". Catch blocks log this.
    const wchar_t* Message() const noexcept;
    int Code() const noexcept { return m_code; }

    // For a processor exception caught by a handler: the -1000 exception of that record.
    static CNuvException FromProcessorException(const EXCEPTION_RECORD& record) noexcept;

private:
    void Swap(CNuvException& other) noexcept;

    wchar_t* m_message = nullptr;  // owned, may be null
    int m_code = 0;
    mutable char* m_narrow = nullptr;  // what(), made on first use
};
