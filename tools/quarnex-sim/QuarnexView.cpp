#include "QuarnexView.h"

#include "MergeModel.h"

namespace quarnexsim {

void QuarnexView::Pushed(const SimHeader& header, bool full, const std::vector<SimCluster>& clusters,
                         const PushResult& result)
{
    if (!result.completed)
        return;
    const auto it = m_believed.find(header.serialNumber);
    if (full || result.fellBackToFull || it == m_believed.end())
        m_believed[header.serialNumber] = MergeModel::Full(header, clusters);
    else
        it->second = MergeModel::Incremental(it->second, header, clusters);
}

std::optional<SimImage> QuarnexView::Believed(std::uint32_t serialNumber) const
{
    const auto it = m_believed.find(serialNumber);
    if (it == m_believed.end())
        return std::nullopt;
    return it->second;
}

bool QuarnexView::Holds(std::uint32_t serialNumber, const std::optional<SimImage>& base,
                        bool incrementalRefused, std::string& why) const
{
    if (incrementalRefused)
        return true;
    const std::optional<SimImage> believed = Believed(serialNumber);
    if (!believed) {
        // A server that was never told a backup is stored sends full backups only.
        return true;
    }
    if (!base) {
        why = "an incremental was accepted, but nothing is stored to merge it into";
        return false;
    }
    if (MergeModel::Serialize(*base) != MergeModel::Serialize(*believed)) {
        why = "an incremental was accepted into an image other than the one last acknowledged (" +
              std::to_string(base->records.size()) + " records stored, " +
              std::to_string(believed->records.size()) + " acknowledged)";
        return false;
    }
    return true;
}

} // namespace quarnexsim
