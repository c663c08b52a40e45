#pragma once
// The reputation client's outcomes as codes of its own error category: 0 success, 1 to 8 and 15,
// 16 problems of the answer (condition 2), 9 to 13 failures while the answer was awaited
// (condition 1), 14 and anything else unknown (condition 3). Value 0 of the generic category,
// the value callers start from, means no answer was obtained.

#include <system_error>

namespace NNUV {

enum TyvoError : int {
    kTyvoSuccess = 0,
    kTyvoWrongRequestId = 1,
    kTyvoSafeMode = 2,
    kTyvoUriException = 3,
    kTyvoHttpException = 4,
    kTyvoJsonException = 5,
    kTyvoTaskCancelled = 6,
    kTyvoInvalidOperation = 7,
    kTyvoException = 8,
    kCppUriException = 9,
    kCppHttpException = 10,
    kCppJsonException = 11,
    kCppTaskCancelled = 12,
    kCppInvalidOperation = 13,
    kCppException = 14,
    kTyvoResponseError = 15,
    kTyvoOversizeRequest = 16,
};

class error_categories : public std::error_category {
public:
    const char* name() const noexcept override;
    std::string message(int code) const override;
    std::error_condition default_error_condition(int code) const noexcept override;
    bool equivalent(int code, const std::error_condition& condition) const noexcept override;
    using std::error_category::equivalent;
};

const std::error_category& TyvoCategory() noexcept;
std::error_code MakeTyvoError(TyvoError code) noexcept;
// The value callers start from: no answer.
inline std::error_code NoAnswer() noexcept { return std::error_code(0, std::generic_category()); }
inline bool IsTyvoSuccess(const std::error_code& error) noexcept {
    return error.value() == 0 && &error.category() == &TyvoCategory();
}

}  // namespace NNUV
