// ReadValues of every model: the rows of the model's read plan, one request each (or one per
// reported channel), their replies decoded field by field into the reading blocks.
#include "server/device/data_exchange.h"
#include "server/device/reply_fields.h"

namespace movra {

namespace {

bool wanted(const Condition& when, const ReadSelection& selection, uint8_t variant) {
    auto anyFlag = [&] {
        for (size_t flag = 0; flag < 30; ++flag) {
            if (((when.flags >> flag) & 1u) != 0 && selection.has(flag)) {
                return true;
            }
        }
        return false;
    };
    switch (when.kind) {
        case Condition::Always:
            return true;
        case Condition::AllOrFlags:
            return selection.has(ReadSelection::kSelectAll) || anyFlag();
        case Condition::FlagsOnly:
            return anyFlag();
        case Condition::Variant:
            return variant == when.variant;
    }
    return false;
}

template <typename Block>
void copyEach(Block* blocks, uint16_t count, const Copy& copy) {
    for (uint16_t i = 0; i < count; ++i) {
        blocks[i].readings[copy.to] = blocks[i].readings[copy.from];
    }
}

// One value per block for each listed reading, quantity by quantity; or as records, the listed
// readings of each block in turn.
template <typename Block, typename TakeOne>
void takeBlocks(Block* blocks, uint16_t count, std::span<const uint8_t> listed, bool records,
                TakeOne& take) {
    if (records) {
        for (uint16_t i = 0; i < count; ++i) {
            for (uint8_t reading : listed) {
                take(blocks[i].readings[reading]);
            }
        }
        return;
    }
    for (uint8_t reading : listed) {
        for (uint16_t i = 0; i < count; ++i) {
            take(blocks[i].readings[reading]);
        }
    }
}

}  // namespace

HRESULT CMovraDataExchange::RunReadPlan(uint8_t variant, const ReadSelection& selection,
                                        ReadingArrays& readings, uint16_t* linkError) {
    RETURN_IF_FAILED(SendZeroBytes(linkError));
    for (const PlanStep& step : model.readPlan) {
        if (!wanted(step.when, selection, variant)) {
            continue;
        }
        const uint16_t requests = step.perChannel ? reportedChannels : 1;
        for (uint16_t r = 1; r <= requests; ++r) {
            Request row = step.request;
            if (step.perChannel) {
                row.parameters[0] = static_cast<uint8_t>(r);
            }
            RETURN_IF_FAILED(DoExchange(row, linkError));
            for (const Field& field : step.fields) {
                if (field.take == Take::End) {
                    break;
                }
                TakeField(field, readings, r);
            }
            RETURN_IF_FAILED(FinishReply(linkError));
        }
        for (const Copy& copy : step.copies) {
            if (copy.section == Section::Channel) {
                copyEach(readings.channels.get(), reportedChannels, copy);
            } else if (copy.section == Section::Node) {
                copyEach(readings.nodes.get(), reportedNodes, copy);
            }
        }
    }
    return S_OK;
}

// requestedChannel: the channel (from 1) of a per-channel request, else 1.
void CMovraDataExchange::TakeField(const Field& field, ReadingArrays& readings,
                                   uint16_t requestedChannel) {
    const std::span<const uint8_t> listed(field.readings, field.count);
    const bool twoBytes = field.width == 2;
    ChannelBlock* channels = readings.channels.get();
    NodeBlock* nodes = readings.nodes.get();
    auto takeOne = [this, twoBytes](Reading& reading) { TakeReading(reading, twoBytes); };
    switch (field.take) {
        case Take::End:
            break;
        case Take::Skip:
            Reply().skip(field.width);
            break;
        case Take::Clock:
        case Take::PaddedClock:
            TakeDateTime(deviceTime, field.take == Take::PaddedClock);
            StampPcTime();
            break;
        case Take::System:
            for (uint8_t reading : listed) {
                takeOne(readings.system->readings[reading]);
            }
            break;
        case Take::Channels:
        case Take::ChannelRecords:
            takeBlocks(channels, reportedChannels, listed, field.take == Take::ChannelRecords,
                       takeOne);
            break;
        case Take::Nodes:
        case Take::NodeRecords:
            takeBlocks(nodes, reportedNodes, listed, field.take == Take::NodeRecords, takeOne);
            break;
        case Take::StatusMask: {
            uint8_t bits[28];
            reply::take(Reply(), bits, sizeof bits);
            // Bit k of the mask is bit 0 of data byte k.
            uint32_t mask = 0;
            for (int k = 27; k >= 0; --k) {
                mask = (mask << 1) | (bits[k] & 1u);
            }
            if (requestedChannel >= 1 && requestedChannel <= reportedChannels) {
                Reading& status = channels[requestedChannel - 1].readings[kChannelStatus];
                status.value = mask;
                status.quality = kQualityGood;
                status.timestamp = ReadingTime();
            }
            break;
        }
    }
}

}  // namespace movra
