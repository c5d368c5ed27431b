// The reference of the control round trip: a service on the same framework as the utility
// service (CServiceBase) whose control hook does nothing. Installed and started by control_bench.
#include "service/ServiceBase.h"

namespace {

class CMinimalService : public CServiceBase {
public:
    CMinimalService() : CServiceBase(L"OsmiraBenchMinimalService") {}
};

} // namespace

int wmain()
{
    CMinimalService service;
    CServiceBase::Run(service);
    return 0;
}
