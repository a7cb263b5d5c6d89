#pragma once
// TIPEdit: the field in which the user types an IPv4 address: four octet fields separated
// by dots, each 0..255. The cursor moves on to the next field after three digits or a dot,
// Backspace at the start of a field goes back into the previous one, the arrow keys move
// across the fields, and pasting a whole dotted address fills all four. Text that arrives
// any other way (dropped, pasted with the middle button) is taken only when the field
// still holds 0..255 with it; GetIP reads a field past 255 as 255, never wrapped.
//
// The address is exchanged as dotted text, read as the socket library's dotted-address
// parser reads it (inet_addr: "10.1" is 10.0.0.1; what is not an address is
// 255.255.255.255). Fields left blank count as 0.

#include <QFrame>

#include <array>
#include <cstdint>
#include <string>

class QLineEdit;

namespace vx4 {

class TIPEdit : public QFrame {
    Q_OBJECT
public:
    explicit TIPEdit(QWidget* parent = nullptr);

    // Shows the address the text denotes and remembers the text as given.
    void SetIP(const std::string& text);
    // The shown address as dotted text ("192.168.0.1"); blank fields count as 0.
    std::string GetIP() const;
    // True when all four fields are blank.
    bool GetIsEmpty() const;

    // The text given to the last SetIP while the user has not changed a field since;
    // GetIP() once the user has. A host name kept in the settings therefore survives a
    // dialog confirmed without touching the address.
    std::string Text() const;
    bool IsModified() const { return modified_; }

    // The dotted-address conversions, in host order (first octet most significant).
    static std::uint32_t StringToIP(const std::string& text);
    static std::string IPToString(std::uint32_t address);

    // The octet fields, for tests.
    QLineEdit* Field(int i) const { return fields_[std::size_t(i)]; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    int IndexOf(QObject* field) const;
    void ShowAddress(std::uint32_t address);
    // Inserts typed or pasted text at the cursor of field i; a dotted address replaces all.
    void InsertText(int i, const QString& text);
    void Focus(int i, bool atEnd);
    void ClampField(int i);
    void MarkModified();

    std::array<QLineEdit*, 4> fields_{};
    std::string setText_;
    bool modified_ = false;
};

} // namespace vx4
