// Run by fastDdsLogRouteTest: logs many lines at once from several threads
// through the tool's logger and through Fast DDS's log.
//   lumoLogStorm LINES THREADS MODE
// MODE: "plain" (the tools' start-up: lumo at ERROR, Fast DDS errors only),
// "debug" (as under -d) or "fastdds-info" (Fast DDS at Info, levels as the
// log configuration says).
#include <string>
#include <thread>
#include <vector>

#include <fastdds/dds/log/Log.hpp>
#include <log4cplus/initializer.h>
#include <log4cplus/loggingmacros.h>

#include "lumo/componentFramework/Logging.h"

using eprosima::fastdds::dds::Log;

int main(int argc, char** argv)
{
    if (argc != 4) {
        return 2;
    }
    const int lines = std::stoi(argv[1]);
    const int threads = std::stoi(argv[2]);
    const std::string mode = argv[3];

    log4cplus::Initializer initializer;
    lumo::componentFramework::LogConfigureTool("lumoLogStorm", log4cplus::ERROR_LOG_LEVEL, false);
    log4cplus::Logger& logger = lumo::componentFramework::GetLogger("lumo");
    if (mode == "debug") {
        logger.setLogLevel(log4cplus::DEBUG_LOG_LEVEL);
    }
    if (mode == "debug" || mode == "fastdds-info") {
        Log::SetVerbosity(Log::Kind::Info);
    }

    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            for (int i = 0; i < lines; ++i) {
                LOG4CPLUS_ERROR(logger, "tool line " << t << "." << i);
            }
        });
        workers.emplace_back([&, t] {
            static const Log::Kind kinds[] = {Log::Kind::Error, Log::Kind::Warning, Log::Kind::Info};
            for (int i = 0; i < lines; ++i) {
                const Log::Kind kind = kinds[i % 3];
                // What Fast DDS's logging macros do.
                if (Log::GetVerbosity() >= kind) {
                    // As Fast DDS's own can be: ended by a line break, and
                    // every other one with a NUL a peer sent.
                    std::string message = "fast dds line " + std::to_string(t) + "." + std::to_string(i);
                    if (i % 2 == 1) {
                        message += std::string("(\0)", 3);
                    }
                    Log::QueueLog(message + "\n", Log::Context{__FILE__, __LINE__, "Storm", "STORM"}, kind);
                }
            }
        });
    }
    for (auto& worker : workers) {
        worker.join();
    }
    Log::Flush();
    return 0;
}
