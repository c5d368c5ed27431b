// The one concrete service: what its start sets going and the deferred first launch of the
// companions.
#pragma once

#include "service/ServiceBase.h"
#include "win/Owners.h"

class CUtilityService : public CServiceBase {
public:
    CUtilityService();
    ~CUtilityService() override;

    static void CALLBACK ServiceWorkerThread(PTP_CALLBACK_INSTANCE instance, PVOID context, PTP_WORK work);

protected:
    // Starts the device presence watch, which runs whether or not the start succeeds.
    void OnControlHandlerRegistered() override;
    void OnStart(DWORD argc, LPWSTR* argv) override;
    void OnStop() override;
    DWORD OnServiceControlHandle(DWORD control, DWORD eventType, LPVOID eventData,
                                 LPVOID context) override;
    ULONG WriteServiceEvent(const wchar_t* message, UCHAR level) override;

private:
    win::UniqueThreadpoolWork m_work;
};
