#include "plugin/timelimits/TimeLimits.h"

#include "plugin/timelimits/VYXLogManager.h"

#include <new>

IActivityLogManager* CTimeLimits::CreateLogManager() { return new (std::nothrow) CVYXLogManager(); }
