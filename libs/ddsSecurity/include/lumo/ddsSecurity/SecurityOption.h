// --security DIR, the same on every tool.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <boost/program_options.hpp>
#include <log4cplus/logger.h>

#include "lumo/componentFramework/Dds.h"
#include "lumo/ddsSecurity/Enclave.h"
#include "lumo/ddsSecurity/RefusalReport.h"

namespace lumo::ddsSecurity {

void AddSecurityOption(boost::program_options::options_description& options);

// What --security gave: a tool reads it from its command line.
struct SecuritySettings
{
    std::optional<std::string> enclave; // the enclave's directory
};

// Before the participant exists. With an enclave: checks it (an
// EnclaveError on a fault) and hands its files to the participant. With or
// without it, every participant that DDS Security keeps away is explained
// on `logger`, and handed to `keptAway` when given. Returns the security
// attributes of its endpoint on each topic (see CheckEnclave); none without
// --security.
std::vector<componentFramework::EndpointSecurity> ApplySecurityOption(const SecuritySettings& settings,
                                                                      componentFramework::Dds& dds, uint32_t domainId,
                                                                      const std::vector<std::string>& topics,
                                                                      Access access, log4cplus::Logger& logger,
                                                                      KeptAwayHook keptAway = {});

} // namespace lumo::ddsSecurity
