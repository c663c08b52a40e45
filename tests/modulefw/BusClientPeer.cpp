// The second process of the bus client tests, on the test program's bus and machine registry,
// with a client made by getInstance as the product makes one. Mode:
//   respond <ready> <quit>  answers "ClientPeer.Echo.Request" with "echo:" + payload; publishes
//                           the name of anything matching "ClientPeer\.Notify\..*" as
//                           "ClientPeer.Notified"; on "ClientPeer.Ask" requests
//                           "ClientTest.Question" with its payload and publishes the answer's
//                           payload (or "failed") as "ClientPeer.Answer"; ends at quit
// Exit 2: bad use or no bus; 0 otherwise.

#include "modulefw/MessageBusClient.h"
#include "tests/modulefw/BusClientHelpers.h"
#include "tests/support/MachineRegistry.h"

#include <windows.h>

#include <string>

namespace {

using Korin::Message;
using Korin::ModuleStatus;
using MessagePtr = std::shared_ptr<Message>;

void Signal(const wchar_t* name) {
    HANDLE event = ::OpenEventW(EVENT_MODIFY_STATE, FALSE, name);
    if (event != nullptr) {
        ::SetEvent(event);
        ::CloseHandle(event);
    }
}

int Respond(const wchar_t* ready, const wchar_t* quit) {
    HANDLE quitEvent = ::OpenEventW(SYNCHRONIZE, FALSE, quit);
    if (quitEvent == nullptr) return 2;
    auto client = Korin::MessageBusClient::getInstance();
    if (!client) return 2;
    Korin::MessageBusClient& bus = *client;
    const bool subscribed =
        bus.subscribe(L"ClientPeer.Echo.Request", [&](MessagePtr m) {
            return NuvTest::ReplyThrough(bus, *m, L"ClientPeer.Echo.Reply", L"echo:" + m->getPayload());
        }) == 0 &&
        bus.subscribeFilter(L"ClientPeer\\.Notify\\..*", [&](MessagePtr m) {
            return bus.publish(Message::create(L"ClientPeer.Notified", L"peer", m->getName()));
        }) == 0 &&
        bus.subscribe(L"ClientPeer.Ask", [&](MessagePtr m) {
            return bus.request(Message::create(L"ClientTest.Question", L"peer", m->getPayload()),
                               [&](std::shared_ptr<Korin::Reply> reply) {
                                   const std::wstring answer = reply->getStatus() == Korin::ReplyStatus::Received
                                                                   ? reply->getMessage()->getPayload()
                                                                   : L"failed";
                                   bus.publish(Message::create(L"ClientPeer.Answer", L"peer", answer));
                               },
                               20000);
        }) == 0;
    if (!subscribed) return 2;
    Signal(ready);
    ::WaitForSingleObject(quitEvent, 120000);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    NuvTest::IsolatedMachineRegistry machine;  // adopts the test program's
    if (argc == 4 && std::wstring(argv[1]) == L"respond") return Respond(argv[2], argv[3]);
    return 2;
}
