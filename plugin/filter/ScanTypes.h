#pragma once
// What a scan buffer exchanges with its connection: the verdict of each packet, the interface
// through which released packets go back to the host, the edit interface the scans write through,
// and the reference on the buffer's owner that a queued buffer holds.

#include <windows.h>

// The verdict of one host packet.
enum ScanVerdict : DWORD {
    kVerdictOk = 0,      // forward the packet as it now is
    kVerdictFail = 1,
    kVerdictBypass = 2,
    kVerdictDefer = 3,   // the plug-in keeps the packet and answers later
    kVerdictDrop = 4,    // discard the packet
};

// Edits of a contiguous text whose bytes belong to host packets. `at` points into the text
// (GetBase() + offset); lengths are byte counts.
class IReplacementSink {
public:
    virtual char* GetBase() = 0;
    // Overwrites `len` bytes at `at` with `src` repeated from its start (cut at `len` bytes).
    virtual void Replace(char* at, DWORD len, const char* src, DWORD srcLen) = 0;
    // Puts `srcLen` bytes in place of `len` bytes at `at`: the text grows or shrinks.
    virtual void Insert(char* at, DWORD len, const char* src, DWORD srcLen) = 0;

protected:
    ~IReplacementSink() = default;
};

// Where released packets go: the host connection, through the connection's handler.
class IResponseSink {
public:
    // One host packet back with its verdict.
    virtual void Forward(BYTE* data, DWORD size, bool inbound, DWORD verdict) = 0;
    // Bytes of the plug-in's own sent into the direction (the host copies them during the call).
    virtual void Inject(const BYTE* data, DWORD size, bool inbound) = 0;

protected:
    ~IResponseSink() = default;
};

// The owner of a scan buffer (the connection's handler): a queued buffer keeps it alive.
class IScannableParent {
public:
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;

protected:
    ~IScannableParent() = default;
};
