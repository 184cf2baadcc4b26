// Preloaded (LD_PRELOAD) into lumoQuillpub by the teardown tests, never
// shipped: replaces Fast DDS's DataWriter::write with one that never
// returns, as the deadlock seen in Fast DDS 2.9 did.
#include <unistd.h>

#include <fastdds/dds/publisher/DataWriter.hpp>

namespace eprosima::fastdds::dds {

#if LUMO_FASTDDS_MAJOR >= 3
ReturnCode_t DataWriter::write(const void* const)
#else
bool DataWriter::write(void*)
#endif
{
    for (;;) {
        pause();
    }
}

} // namespace eprosima::fastdds::dds
