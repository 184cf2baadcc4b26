// The options every tool spells alike. Each call adds one option (or one
// group) to the table, so that each tool keeps its own usage order and texts.
#pragma once

#include <string>
#include <vector>

#include <boost/program_options.hpp>

#include "lumo/toolsCommon/DomainId.h"
#include "lumo/toolsCommon/Unsigned32.h"

namespace lumo::toolsCommon {

// help,h: "Help".
void AddHelpOption(boost::program_options::options_description& options);

// debug,d, with the tool's own text.
void AddDebugOption(boost::program_options::options_description& options, const char* text);

// topic,t: a multi-token list; `shownDefault`, when not null, is what the
// usage prints as the default of an empty list.
void AddTopicOption(boost::program_options::options_description& options, const char* text,
                    const char* shownDefault = nullptr);

// domain-id (a DomainId, 0), qos-profile and qos-file (the facade's
// defaults), in that order.
void AddDdsOptions(boost::program_options::options_description& options);

// allow-interfaces,a: a multi-token list, absent unless given.
void AddAllowInterfacesOption(boost::program_options::options_description& options);

// multicast,m: a string, absent unless given, with the tool's own text.
void AddMulticastOption(boost::program_options::options_description& options, const char* text);

// version: presence only; ParseCommandLine answers it. Added after a tool's
// other options.
void AddVersionOption(boost::program_options::options_description& options);

// The topic names, each followed by one space (a log line's argument).
std::string JoinTopics(const std::vector<std::string>& topics);

} // namespace lumo::toolsCommon
