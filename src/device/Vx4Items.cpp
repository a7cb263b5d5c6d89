// Items of a configuration and the systems that own them.

#include "device/Vx4Items.h"

#include "link/Frames.h"

#include <algorithm>
#include <cstring>

namespace vx4 {

namespace {

constexpr std::uint32_t StatusMask = 0x0FFFFFFF; // the status bits a device reports

template <std::size_t N>
SNodeInfo MakeInfo(std::int32_t kind, std::uint16_t id, const std::string& name,
                   const std::array<std::uint8_t, N>& record)
{
    static_assert(N <= NodeDataSize);
    SNodeInfo info;
    info.kind = kind;
    info.id = id;
    info.name = name;
    std::copy(record.begin(), record.end(), info.data.begin());
    return info;
}

} // namespace

SNodeInfo CNode::Info() const
{
    SNodeInfo info;
    info.name = name_;
    return info;
}

// ---- CConst ----

CConst::CConst(const std::uint8_t* record, std::string name, std::uint16_t id)
    : CNode(std::move(name)), id_(id)
{
    std::memcpy(record_.data(), record, ConstRecordSize);
}

SNodeInfo CConst::Info() const { return MakeInfo(ITEM_CONST, id_, Name(), record_); }

SNodeValue CConst::Value() const { return {GetF32(record_.data() + 7), 0}; }

void CConst::SetValue(float value, std::uint32_t /*status*/) { PutF32(record_.data() + 7, value); }

// ---- CCalc ----

CCalc::CCalc(const std::uint8_t* record, std::string name) : CNode(std::move(name))
{
    std::memcpy(record_.data(), record, CalcRecordSize);
}

std::uint16_t CCalc::Id() const { return GetU16(record_.data() + 7); }
std::uint16_t CCalc::GroupEventId() const { return GetU16(record_.data() + 9); }

SNodeInfo CCalc::Info() const { return MakeInfo(ITEM_CALC, Id(), Name(), record_); }

SNodeValue CCalc::Value() const { return {value_, status_}; }

bool CCalc::SetPolled(bool on) { return polled_.exchange(on); }
bool CCalc::IsPolled() const { return polled_.load(); }

void CCalc::SetValue(float value, std::uint32_t status)
{
    prevValue_ = value_;
    prevStatus_ = status_;
    value_ = value;
    status_ = (status_ & 0x70000000u) | (status & StatusMask);
}

bool CCalc::StatusChanged() const { return ((status_ ^ prevStatus_) & StatusMask) != 0; }

// ---- CEvent ----

CEvent::CEvent(const std::uint8_t* record, std::string name, std::uint16_t id)
    : CNode(std::move(name)), id_(id)
{
    std::memcpy(record_.data(), record, EventRecordSize);
}

std::uint16_t CEvent::GroupEventId() const { return GetU16(record_.data() + 6); }
std::uint32_t CEvent::Mask() const { return GetU32(record_.data() + 8); }

SNodeInfo CEvent::Info() const { return MakeInfo(ITEM_EVENT, id_, Name(), record_); }

SNodeValue CEvent::Value() const { return {0.0f, Mask()}; }

// ---- CSystem ----

CConst* CSystem::AddConst(const std::uint8_t* record, std::string itemName, std::uint16_t id)
{
    consts_.push_back(std::make_unique<CConst>(record, std::move(itemName), id));
    return consts_.back().get();
}

CCalc* CSystem::AddCalc(const std::uint8_t* record, std::string itemName)
{
    calcs_.push_back(std::make_unique<CCalc>(record, std::move(itemName)));
    return calcs_.back().get();
}

CNode* CSystem::FindById(std::uint16_t id) const
{
    for (const auto& c : calcs_)
        if (c->Id() == id)
            return c.get();
    for (const auto& c : consts_)
        if (c->Id() == id)
            return c.get();
    return nullptr;
}

std::size_t CSystem::CollectPolled(std::vector<CCalc*>& out, std::size_t max) const
{
    std::size_t n = 0;
    for (const auto& c : calcs_) {
        if (n >= max)
            break;
        if (c->IsPolled()) {
            out.push_back(c.get());
            ++n;
        }
    }
    return n;
}

int CSystem::SetCalcPolled(std::uint16_t id, bool on)
{
    for (const auto& c : calcs_)
        if (c->Id() == id)
            return c->SetPolled(on) ? 1 : 0;
    return -1;
}

void CSystem::ClearItems()
{
    calcs_.clear();
    consts_.clear();
}

} // namespace vx4
