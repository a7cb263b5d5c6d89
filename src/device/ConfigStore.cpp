// The configuration store: placing items, lookups and the transducer list.

#include "device/ConfigStore.h"

#include <algorithm>

namespace vx4 {

void CConfigStore::AddSystem(std::string name, std::string note, std::size_t limit)
{
    if (systems_.size() >= std::min(limit, MaxSystems))
        return;
    systems_.push_back(std::make_unique<CSystem>(std::move(name), std::move(note)));
}

CConst* CConfigStore::AddConst(const std::uint8_t* record, std::string name, std::uint16_t id)
{
    const std::size_t s = record[0];
    if (systems_.empty() || s == 0) {
        consts_.push_back(std::make_unique<CConst>(record, std::move(name), id));
        return consts_.back().get();
    }
    if (s <= systems_.size())
        return systems_[s - 1]->AddConst(record, std::move(name), id);
    return nullptr;
}

CCalc* CConfigStore::AddCalc(const std::uint8_t* record, std::string name)
{
    const std::size_t s = record[0];
    if (s >= 1 && s <= systems_.size())
        return systems_[s - 1]->AddCalc(record, std::move(name));
    return nullptr;
}

CEvent* CConfigStore::AddEvent(const std::uint8_t* record, std::string name, std::uint16_t id)
{
    events_.push_back(std::make_unique<CEvent>(record, std::move(name), id));
    return events_.back().get();
}

void CConfigStore::AddTransducer(std::uint32_t address)
{
    for (auto& slot : transducers_) {
        if (slot == address)
            return;
        if (slot == 0) {
            slot = address;
            ++transducerCount_;
            return;
        }
    }
}

std::vector<std::uint32_t> CConfigStore::Transducers() const
{
    std::vector<std::uint32_t> out;
    for (std::size_t i = 0; i < transducerCount_ && i < MaxTransducers && transducers_[i] != 0; ++i)
        out.push_back(transducers_[i]);
    return out;
}

CNode* CConfigStore::FindNode(std::uint16_t id)
{
    if (lastFound_) {
        const SNodeInfo info = lastFound_->Info();
        if (info.id == id && info.kind != ITEM_NONE)
            return lastFound_;
    }
    for (const auto& system : systems_) {
        if (CNode* node = system->FindById(id)) {
            lastFound_ = node;
            return node;
        }
    }
    for (const auto& c : consts_) {
        if (c->Id() == id) {
            lastFound_ = c.get();
            return lastFound_;
        }
    }
    for (const auto& e : events_) {
        if (e->Id() == id) {
            lastFound_ = e.get();
            return lastFound_;
        }
    }
    return nullptr;
}

std::string CConfigStore::EventNamesFor(const CNode* item) const
{
    std::string text;
    if (!item)
        return text;
    const std::uint32_t flags = item->Value().status;
    if (flags == 0)
        return text;
    const SNodeInfo info = item->Info();
    const std::uint16_t group = std::uint16_t(info.data[9] | (info.data[10] << 8));
    for (const auto& e : events_) {
        const std::uint16_t g = e->GroupEventId();
        if ((g == group || g == 0) && (flags & e->Mask()) != 0) {
            if (!text.empty())
                text += ", ";
            text += e->Name();
        }
    }
    return text;
}

std::string CConfigStore::ItemName(std::uint8_t type, const std::uint8_t* record, std::size_t length)
{
    std::size_t start;
    if (type == ITEM_CONST || type == ITEM_CALC)
        start = 1;
    else if (type == ITEM_EVENT)
        start = 0;
    else
        return {};
    std::string name;
    for (std::size_t i = start; i < start + ItemNameSize && i < length && record[i] != 0; ++i)
        name.push_back(char(record[i]));
    return name;
}

void CConfigStore::Clear()
{
    lastFound_ = nullptr;
    systems_.clear();
    consts_.clear();
    events_.clear();
    transducers_.fill(0);
    transducerCount_ = 0;
}

} // namespace vx4
