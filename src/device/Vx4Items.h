#pragma once
// The items of a device configuration held in memory: constants, calculated values and
// events (all CNode), and the systems that own constants and calculated values. Each item
// keeps the record bytes the device delivered; the rest of the program sees an item only
// through copies (SNodeInfo, SNodeValue) and by its 16-bit identifier.

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vx4 {

// Kinds of an item as SNodeInfo reports them; the type bytes of item records use the
// same numbers (0 marks an empty slot inside a configuration block).
enum ItemKind : std::int32_t {
    ITEM_NONE = 0,
    ITEM_CONST = 1,
    ITEM_EVENT = 2,
    ITEM_CALC = 3,
};

inline constexpr std::size_t ItemNameSize = 6;
inline constexpr std::size_t ConstRecordSize = 11; // system(1) name(6) value(4)
inline constexpr std::size_t CalcRecordSize = 11;  // system(1) name(6) id(2) group event id(2)
inline constexpr std::size_t EventRecordSize = 16; // name(6) group event id(2) mask(4) code(4)
inline constexpr std::size_t ItemRecordMax = 17;   // type byte and the longest record
inline constexpr std::size_t NodeDataSize = 16;

// The copy of one item that windows display. kind 0 (no item) has id 0, an empty name
// and zero data.
struct SNodeInfo {
    std::int32_t kind = ITEM_NONE;
    std::uint16_t id = 0;
    std::string name; // UTF-8, at most six characters
    std::array<std::uint8_t, NodeDataSize> data{}; // the item's record, zero past its end
    bool operator==(const SNodeInfo&) const = default;
};

// An item's value: the IEEE single of a constant or calculated value (0 for an event) and
// the status word of a calculated value (an event's mask, 0 for a constant).
struct SNodeValue {
    float value = 0.0f;
    std::uint32_t status = 0;
};

// Base of all items: a name and the operations every kind answers.
class CNode {
public:
    explicit CNode(std::string name) : name_(std::move(name)) {}
    virtual ~CNode() = default;
    CNode(const CNode&) = delete;
    CNode& operator=(const CNode&) = delete;

    const std::string& Name() const { return name_; }
    virtual SNodeInfo Info() const;
    virtual SNodeValue Value() const { return {}; }
    // Marks the item for polling; returns the previous mark (items that cannot be
    // polled return their argument and store nothing).
    virtual bool SetPolled(bool on) { return on; }
    virtual bool IsPolled() const { return false; }
    virtual void SetValue(float value, std::uint32_t status) { (void)value; (void)status; }
    // Whether the low 28 bits of the status word changed at the last SetValue.
    virtual bool StatusChanged() const { return false; }

private:
    std::string name_; // UTF-8
};

class CConst : public CNode {
public:
    // record: ConstRecordSize bytes.
    CConst(const std::uint8_t* record, std::string name, std::uint16_t id);
    SNodeInfo Info() const override;
    SNodeValue Value() const override;
    // Writes value into record bytes 7..10; the status is ignored.
    void SetValue(float value, std::uint32_t status) override;
    std::uint16_t Id() const { return id_; }
    std::uint8_t SystemNo() const { return record_[0]; }

private:
    std::array<std::uint8_t, ConstRecordSize> record_{};
    std::uint16_t id_;
};

class CCalc : public CNode {
public:
    // record: CalcRecordSize bytes; the identifier is record bytes 7..8.
    CCalc(const std::uint8_t* record, std::string name);
    SNodeInfo Info() const override;
    SNodeValue Value() const override;
    bool SetPolled(bool on) override;
    bool IsPolled() const override;
    // Keeps the previous value and status, then stores the new value and the low 28 bits
    // of the status word.
    void SetValue(float value, std::uint32_t status) override;
    bool StatusChanged() const override;
    std::uint16_t Id() const;
    std::uint16_t GroupEventId() const;
    std::uint8_t SystemNo() const { return record_[0]; }

private:
    std::array<std::uint8_t, CalcRecordSize> record_{};
    // The window thread marks, the worker reads while collecting a poll batch.
    std::atomic<bool> polled_{false};
    float value_ = 0.0f;
    std::uint32_t status_ = 0;
    float prevValue_ = 0.0f;
    std::uint32_t prevStatus_ = 0;
};

class CEvent : public CNode {
public:
    // record: EventRecordSize bytes.
    CEvent(const std::uint8_t* record, std::string name, std::uint16_t id);
    SNodeInfo Info() const override;
    SNodeValue Value() const override; // {0, mask}
    std::uint16_t Id() const { return id_; }
    std::uint16_t GroupEventId() const;
    std::uint32_t Mask() const;

private:
    std::array<std::uint8_t, EventRecordSize> record_{};
    std::uint16_t id_;
};

// One system of the configuration: its two texts and the constants and calculated values
// that belong to it (owned, in the order they were added).
class CSystem {
public:
    CSystem(std::string name, std::string note) : name(std::move(name)), note(std::move(note)) {}
    ~CSystem() { ClearItems(); }
    CSystem(const CSystem&) = delete;
    CSystem& operator=(const CSystem&) = delete;

    CConst* AddConst(const std::uint8_t* record, std::string itemName, std::uint16_t id);
    CCalc* AddCalc(const std::uint8_t* record, std::string itemName);
    // Searches the calculated values, then the constants; null when none has the id.
    CNode* FindById(std::uint16_t id) const;
    // Appends the marked calculated values, in order, until max have been appended;
    // returns the number appended.
    std::size_t CollectPolled(std::vector<CCalc*>& out, std::size_t max) const;
    // Marks the first calculated value with the id; its previous mark (0/1), or -1 when no
    // calculated value has the id.
    int SetCalcPolled(std::uint16_t id, bool on);
    // Destroys the calculated values, then the constants.
    void ClearItems();

    const std::vector<std::unique_ptr<CConst>>& Consts() const { return consts_; }
    const std::vector<std::unique_ptr<CCalc>>& Calcs() const { return calcs_; }

    std::string name; // UTF-8
    std::string note; // UTF-8

private:
    std::vector<std::unique_ptr<CConst>> consts_;
    std::vector<std::unique_ptr<CCalc>> calcs_;
};

} // namespace vx4
