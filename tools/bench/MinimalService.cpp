// The reference of the control round trip and of the LED latency: a service on the same framework
// as the utility service (CServiceBase) whose control hook does nothing but stamp the arrival of the
// LED bench's code. Installed and started by control_bench and led_bench.
#include "BenchMeasures.h"
#include "service/ServiceBase.h"

namespace {

class CMinimalService : public CServiceBase {
public:
    CMinimalService() : CServiceBase(L"OsmiraBenchMinimalService") {}

protected:
    // Only the stamped code pays for the stamp: the round trip's code 200 stays a hook that does nothing.
    DWORD OnServiceControlHandle(DWORD control, DWORD, LPVOID, LPVOID) override
    {
        if (control == kStampedCode) WriteArrivalStamp();
        return NO_ERROR;
    }
};

} // namespace

int wmain()
{
    CMinimalService service;
    CServiceBase::Run(service);
    return 0;
}
