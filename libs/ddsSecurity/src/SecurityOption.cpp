#include "lumo/ddsSecurity/SecurityOption.h"

#include <memory>

#include "lumo/ddsSecurity/AuthenticationWatch.h"
#include "lumo/ddsSecurity/RefusalReport.h"

namespace po = boost::program_options;

namespace lumo::ddsSecurity {

void AddSecurityOption(po::options_description& options)
{
    options.add_options()("security", po::value<std::string>(),
                          "Join a DDS Security domain with the enclave in this directory: identity_ca.cert.pem, "
                          "cert.pem, key.pem, permissions_ca.cert.pem, governance.p7s, permissions.p7s");
}

std::vector<componentFramework::EndpointSecurity> ApplySecurityOption(const SecuritySettings& settings,
                                                                      componentFramework::Dds& dds, uint32_t domainId,
                                                                      const std::vector<std::string>& topics,
                                                                      Access access, log4cplus::Logger& logger,
                                                                      KeptAwayHook keptAway)
{
    std::vector<componentFramework::EndpointSecurity> security;
    if (settings.enclave) {
        const Enclave enclave = EnclaveIn(*settings.enclave);
        security = CheckEnclave(enclave, domainId, topics, access);
        dds.SetParticipantProperties(PluginProperties(enclave));
    }
    dds.SetParticipantObserver(std::make_shared<AuthenticationWatch>(RefusalReport(logger, std::move(keptAway))));
    return security;
}

} // namespace lumo::ddsSecurity
