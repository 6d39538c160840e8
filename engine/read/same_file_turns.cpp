#include "engine/read/same_file_turns.h"

namespace quelby {

void SameFileTurns::handedOver(std::uint64_t turn)
{
    if (visits_.empty()) {
        firstTurn_ = turn;
    }
    visits_.emplace_back();
}

SameFileTurns::Visit* SameFileTurns::find(std::uint64_t turn)
{
    if (turn < firstTurn_ || turn - firstTurn_ >= visits_.size()) {
        return nullptr;
    }
    return &visits_[turn - firstTurn_];
}

void SameFileTurns::opened(std::uint64_t turn, dev_t device, ino_t inode)
{
    if (Visit* own = find(turn)) {
        own->opened = true;
        own->device = device;
        own->inode = inode;
    }
}

bool SameFileTurns::mayRead(std::uint64_t turn, dev_t device, ino_t inode) const
{
    const std::uint64_t earlier = turn > firstTurn_ ? turn - firstTurn_ : 0;
    for (std::size_t index = 0; index < earlier && index < visits_.size(); ++index) {
        const Visit& visit = visits_[index];
        if (visit.ended) {
            continue;
        }
        if (!visit.opened || (visit.device == device && visit.inode == inode)) {
            return false;
        }
    }
    return true;
}

void SameFileTurns::ended(std::uint64_t turn)
{
    if (Visit* own = find(turn)) {
        own->ended = true;
    }
    while (!visits_.empty() && visits_.front().ended) {
        visits_.pop_front();
        ++firstTurn_;
    }
}

} // namespace quelby
