#pragma once
// CGiGeArray: the graduation pairs (Gi, Ge) of one flow transducer, always ordered by Gi;
// pairs with equal Gi keep the order in which they arrived.

#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

namespace vx4 {

struct GiGePair {
    float gi = 0.0f;
    float ge = 0.0f;
    bool operator==(const GiGePair&) const = default;
};

class CGiGeArray {
public:
    CGiGeArray() = default;
    virtual ~CGiGeArray() = default;
    CGiGeArray(const CGiGeArray&) = delete;
    CGiGeArray& operator=(const CGiGeArray&) = delete;

    void Clear();
    // Appends the pair and moves it in front of every pair with a greater Gi.
    void Add(float gi, float ge);
    int Count() const;
    // Both throw std::invalid_argument("Вне диапазона GiGeArray") when i < 0 or i >= Count().
    GiGePair Get(int i) const;
    GiGePair& At(int i);

    // Puts the "%.6e" text of every Gi into giList[firstRow + i] and of every Ge into
    // geList[firstRow + i], with the user's decimal separator; the lists grow as needed.
    void ToStrings(int firstRow, std::vector<std::string>& giList, std::vector<std::string>& geList);

private:
    mutable std::mutex lock_;
    std::vector<GiGePair> pairs_;
};

} // namespace vx4
