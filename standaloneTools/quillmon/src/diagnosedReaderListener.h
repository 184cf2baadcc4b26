// The monitor's reader listener with the discovery diagnosis behind it: each
// callback logs the listener's own lines first, then tells the diagnosis of
// the match or incompatible QoS, so that its explanation follows them.
#pragma once

#include <memory>

#include "lumo/ddsDiagnosis/ReaderDiagnosis.h"
#include "quillReaderListener.h"

class DiagnosedReaderListener : public QuillReaderListener
{
public:
    DiagnosedReaderListener(const char* topicName, unsigned short readerIndex,
                            std::shared_ptr<lumo::ddsDiagnosis::ReaderDiagnosis> diagnosis);

    void on_subscription_matched(eprosima::fastdds::dds::DataReader* reader,
                                 const eprosima::fastdds::dds::SubscriptionMatchedStatus& status) override;
    void on_requested_incompatible_qos(eprosima::fastdds::dds::DataReader* reader,
                                       const eprosima::fastdds::dds::RequestedIncompatibleQosStatus& status) override;

private:
    // Shared: a reader that cannot be deleted keeps calling its listener.
    std::shared_ptr<lumo::ddsDiagnosis::ReaderDiagnosis> diagnosis_;
};
