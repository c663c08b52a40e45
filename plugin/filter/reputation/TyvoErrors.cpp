#include "plugin/filter/reputation/TyvoErrors.h"

namespace NNUV {
namespace {

constexpr const char* kMessages[] = {
    "success",           "Wrong Request ID",    "Safe Mode",
    "TYVO URI Exception", "TYVO HTTP Exception", "TYVO JSON Exception",
    "TYVO Task Cancelled", "TYVO Invalid Operation", "TYVO excpetion",
    "CPP URI Exception",  "CPP HTTP Exception",  "CPP JSON Exception",
    "CPP Task Cancelled", "CPPInvalid Operation", "Exception",
    "TYVO RESPONSE ERROR", "TYVO Oversize Request",
};

int Condition(int code) noexcept {
    if (code == 0) return 0;
    if (code >= 9 && code <= 13) return 1;
    if ((code >= 1 && code <= 8) || code == 15 || code == 16) return 2;
    return 3;
}

}  // namespace

const char* error_categories::name() const noexcept { return "TYVO Error handling"; }

std::string error_categories::message(int code) const {
    return code >= 0 && code <= 16 ? kMessages[code] : "default";
}

std::error_condition error_categories::default_error_condition(int code) const noexcept {
    return std::error_condition(Condition(code), *this);
}

bool error_categories::equivalent(int code, const std::error_condition& condition) const noexcept {
    return &condition.category() == this && condition.value() == Condition(code);
}

const std::error_category& TyvoCategory() noexcept {
    static const error_categories category;
    return category;
}

std::error_code MakeTyvoError(TyvoError code) noexcept { return std::error_code(code, TyvoCategory()); }

}  // namespace NNUV
