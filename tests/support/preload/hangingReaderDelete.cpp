// Preloaded (LD_PRELOAD) into lumoQuillmon by the teardown tests, never
// shipped: replaces Fast DDS's Subscriber::delete_datareader with one that
// never returns, as the deadlock seen in Fast DDS 2.9 did.
#include <unistd.h>

#include <fastdds/dds/subscriber/Subscriber.hpp>

namespace eprosima::fastdds::dds {

ReturnCode_t Subscriber::delete_datareader(const DataReader*)
{
    for (;;) {
        pause();
    }
}

} // namespace eprosima::fastdds::dds
