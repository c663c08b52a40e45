// The library's four exports and the entries of its function table. No exception leaves here.

#include "suite/bus/Router.h"
#include "suite/interfaces/HalvexBus.h"

#include <new>

namespace {

using HalvexBus::Router;

template <typename Call>
uint32_t Guarded(Call call) {
    try {
        return call();
    } catch (const std::bad_alloc&) {
        return Halvex::kStatusNoMemory;
    } catch (...) {
        return Halvex::kStatusUnknownException;
    }
}

uint32_t Open(Halvex::BusHandle* handle) {
    return Guarded([&] { return Router::Instance().Open(handle); });
}

uint32_t Release(Halvex::BusHandle handle) {
    return Guarded([&] { return Router::Instance().Release(handle); });
}

uint32_t Publish(Halvex::BusHandle handle, const void* header, const wchar_t* name, const wchar_t* sender,
                 const wchar_t* payload) {
    return Guarded([&] { return Router::Instance().Publish(handle, header, name, sender, payload); });
}

uint32_t Request(Halvex::BusHandle handle, uint64_t replyIndex, void* context, Halvex::ReplyCallback callback,
                 const void* header, const wchar_t* name, const wchar_t* sender, const wchar_t* payload,
                 uint64_t timeoutMs) {
    return Guarded([&] {
        return Router::Instance().Request(handle, replyIndex, context, callback, header, name, sender, payload,
                                          timeoutMs);
    });
}

uint32_t SubscribeExact(Halvex::BusHandle handle, void* context, Halvex::MessageCallback callback,
                        const wchar_t* name) {
    try {
        return Router::Instance().Subscribe(handle, context, callback, name, false);
    } catch (...) {
        return 0;
    }
}

uint32_t SubscribePattern(Halvex::BusHandle handle, void* context, Halvex::MessageCallback callback,
                          const wchar_t* pattern) {
    try {
        return Router::Instance().Subscribe(handle, context, callback, pattern, true);
    } catch (...) {
        return 0;
    }
}

uint32_t Unsubscribe(Halvex::BusHandle handle, uint32_t id) {
    return Guarded([&] { return Router::Instance().Unsubscribe(handle, id); });
}

uint32_t ReleaseReplyCallback(Halvex::BusHandle handle, Halvex::ReplyCallback callback) {
    return Guarded([&] { return Router::Instance().ReleaseReplyCallback(handle, callback); });
}

// The variant entries behave as the plain ones: nothing here tells them apart.
const Korin::MessageBusFunctions kFunctions = {
    Open, Release, Publish, Request, SubscribeExact, SubscribePattern, Unsubscribe, ReleaseReplyCallback,
    Publish, Request,
};

}  // namespace

extern "C" {

void* CreateObject(uint32_t interfaceVersion) {
    if (interfaceVersion != Halvex::kInterfaceVersion) return nullptr;
    return const_cast<Korin::MessageBusFunctions*>(&kFunctions);
}

void ReleaseObject(void*) {}  // the table is static

const char* GetVersionStr() { return Halvex::kVersionText; }

uint32_t GetVersionNum() { return Halvex::kInterfaceVersion; }

}  // extern "C"
