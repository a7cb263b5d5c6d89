#pragma once
// CConfigStore: the configuration held by the device object. Systems (up to nine, owned),
// the constants of the device as a whole, the events, the transducer addresses found
// among the constants, and the item found last. It has no lock of its own: the device
// object calls it under its data lock.

#include "device/Vx4Items.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vx4 {

class CConfigStore {
public:
    static constexpr std::size_t MaxSystems = 9;
    static constexpr std::size_t MaxTransducers = 18;

    CConfigStore() = default;
    CConfigStore(const CConfigStore&) = delete;
    CConfigStore& operator=(const CConfigStore&) = delete;

    // Creates the next system unless limit (the summary's system count) or nine systems
    // have been reached.
    void AddSystem(std::string name, std::string note, std::size_t limit);
    // A constant of system 0, or any constant while there are no systems, belongs to the
    // device; one of an existing system goes there; any other is dropped. Returns the
    // constant or null when dropped. record: ConstRecordSize bytes.
    CConst* AddConst(const std::uint8_t* record, std::string name, std::uint16_t id);
    // A calculated value goes to its existing system 1..N; any other is dropped.
    CCalc* AddCalc(const std::uint8_t* record, std::string name);
    CEvent* AddEvent(const std::uint8_t* record, std::string name, std::uint16_t id);
    // Records an address at the first free slot unless it is already there; a 19th
    // distinct address is ignored.
    void AddTransducer(std::uint32_t address);

    // The item with this id: the last one found when it still matches, else the systems
    // (calculated values, then constants, each system in order), then the device's
    // constants, then the events. Null when none (lastFound unchanged).
    CNode* FindNode(std::uint16_t id);
    // Names of the events whose group fits the item's group event id (or is 0) and whose
    // mask meets the item's status word, joined with ", ".
    std::string EventNamesFor(const CNode* item) const;

    // The name in an item record (type 1 and 3 at byte 1, type 2 at byte 0): up to the
    // first zero byte, at most six bytes, and never past length. Raw device bytes.
    static std::string ItemName(std::uint8_t type, const std::uint8_t* record, std::size_t length);

    // Destroys every item and system, forgets lastFound and the transducers.
    void Clear();

    std::size_t SystemCount() const { return systems_.size(); }
    const CSystem* System(std::size_t index) const { return systems_[index].get(); }
    CSystem* System(std::size_t index) { return systems_[index].get(); }
    const std::vector<std::unique_ptr<CConst>>& DeviceConsts() const { return consts_; }
    const std::vector<std::unique_ptr<CEvent>>& Events() const { return events_; }
    const CNode* LastFound() const { return lastFound_; }
    // The addresses in slot order, ending at transducerCount or at the first free slot.
    std::vector<std::uint32_t> Transducers() const;
    std::size_t TransducerCount() const { return transducerCount_; }
    bool Empty() const { return systems_.empty() && consts_.empty() && events_.empty(); }

private:
    std::vector<std::unique_ptr<CSystem>> systems_;
    std::vector<std::unique_ptr<CConst>> consts_;
    std::vector<std::unique_ptr<CEvent>> events_;
    CNode* lastFound_ = nullptr;
    std::array<std::uint32_t, MaxTransducers> transducers_{};
    std::size_t transducerCount_ = 0;
};

} // namespace vx4
