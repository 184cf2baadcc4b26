#include "diagnosedReaderListener.h"

DiagnosedReaderListener::DiagnosedReaderListener(const char* topicName, unsigned short readerIndex,
                                                 std::shared_ptr<lumo::ddsDiagnosis::ReaderDiagnosis> diagnosis)
    : QuillReaderListener(topicName, readerIndex)
    , diagnosis_(std::move(diagnosis))
{
}

void DiagnosedReaderListener::on_subscription_matched(eprosima::fastdds::dds::DataReader* reader,
                                                      const eprosima::fastdds::dds::SubscriptionMatchedStatus& status)
{
    QuillReaderListener::on_subscription_matched(reader, status);
    diagnosis_->SubscriptionMatched(readerIndex_, status.current_count);
}

void DiagnosedReaderListener::on_requested_incompatible_qos(
    eprosima::fastdds::dds::DataReader* reader, const eprosima::fastdds::dds::RequestedIncompatibleQosStatus& status)
{
    QuillReaderListener::on_requested_incompatible_qos(reader, status);
    diagnosis_->IncompatibleQos(readerIndex_);
}
