#include "base/UniqueHandle.h"

#include <objbase.h>

namespace Tessal::handle_traits {

void CoTaskMem::Close(void* p) { ::CoTaskMemFree(p); }

}  // namespace Tessal::handle_traits
