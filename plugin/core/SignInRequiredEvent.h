#pragma once
// A session needs somebody to sign in: ISignInRequiredEventHandler::OnSignInRequiredEvent(session).
// Not fired when a user signed in meanwhile; missing or failing handlers report problems 50-52.

#include "plugin/core/EventWork.h"

class IModuleServices;

class CSignInRequiredEvent : public IEventAlgorithm {
public:
    class CParameters : public IEventParameters {
    public:
        explicit CParameters(DWORD sessionId) noexcept : m_sessionId(sessionId) {}
        DWORD m_sessionId;
    };

    static CEventWork* CreateWork(DWORD sessionId);

    explicit CSignInRequiredEvent(IModuleServices& module) noexcept : m_module(module) {}
    void Fire(IEventParameters* parameters, IEventHandlerSource& handlerSource) override;

private:
    IModuleServices& m_module;
};
