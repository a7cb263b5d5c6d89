// Graduation pair table.

#include "common/GiGeArray.h"

#include "platform/NormalizeDecimalSeparator.h"

#include <cstdio>
#include <stdexcept>

namespace vx4 {

namespace {

[[noreturn]] void OutOfRange() { throw std::invalid_argument("Вне диапазона GiGeArray"); }

std::string NumberText(float v)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.6e", double(v));
    return NormalizeDecimalSeparator(buf);
}

} // namespace

void CGiGeArray::Clear()
{
    std::lock_guard<std::mutex> guard(lock_);
    pairs_.clear();
}

void CGiGeArray::Add(float gi, float ge)
{
    std::lock_guard<std::mutex> guard(lock_);
    pairs_.push_back({gi, ge});
    // The table is ordered before the new pair arrives, so one backward pass puts the new
    // pair behind the last pair whose gi is not greater: equal gi keep their arrival order.
    for (std::size_t j = pairs_.size() - 1; j > 0 && pairs_[j].gi < pairs_[j - 1].gi; --j)
        std::swap(pairs_[j], pairs_[j - 1]);
}

int CGiGeArray::Count() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return int(pairs_.size());
}

GiGePair CGiGeArray::Get(int i) const
{
    std::lock_guard<std::mutex> guard(lock_);
    if (i < 0 || std::size_t(i) >= pairs_.size())
        OutOfRange();
    return pairs_[std::size_t(i)];
}

GiGePair& CGiGeArray::At(int i)
{
    std::lock_guard<std::mutex> guard(lock_);
    if (i < 0 || std::size_t(i) >= pairs_.size())
        OutOfRange();
    return pairs_[std::size_t(i)];
}

void CGiGeArray::ToStrings(int firstRow, std::vector<std::string>& giList, std::vector<std::string>& geList)
{
    std::lock_guard<std::mutex> guard(lock_);
    if (firstRow < 0)
        firstRow = 0;
    const std::size_t need = std::size_t(firstRow) + pairs_.size();
    if (giList.size() < need)
        giList.resize(need);
    if (geList.size() < need)
        geList.resize(need);
    for (std::size_t i = 0; i < pairs_.size(); ++i) {
        giList[std::size_t(firstRow) + i] = NumberText(pairs_[i].gi);
        geList[std::size_t(firstRow) + i] = NumberText(pairs_[i].ge);
    }
}

} // namespace vx4
