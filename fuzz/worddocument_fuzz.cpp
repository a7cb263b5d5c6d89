// The report template reader over arbitrary packages: the bytes are a template file; it is
// read, filled as a report fills it and saved. Whatever the package, every step ends with
// one of its codes and never throws; a document that was saved reads back as a template and
// takes the same filling again.
#include "office/WordDocument.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

namespace {

void Check(bool ok)
{
    if (!ok)
        __builtin_trap();
}

bool Known(int rc) { return rc >= vx4::CWordDocument::Ok && rc <= vx4::CWordDocument::NotOpen; }

// The filling of a report: the marks, the header, a table's row and cells, the fields.
// True when every step succeeded.
bool Fill(vx4::CWordDocument& doc)
{
    bool all = true;
    for (const char* mark : {"Дата_Протокола", "Номер_ЗФЛ", "Номер_VX_4", "Краткое_описание_системы_1"}) {
        const int rc = doc.FillNamedMark(mark, "1\t2\n3 <&>");
        Check(Known(rc));
        all = all && rc == 0;
    }
    for (const int rc : {doc.WritePageHeader("VX-4 № 1\tx\t"), doc.SetTableCellText(1, 2, 1, "0"),
                         doc.AddTableRow(1), doc.SetTableCellText(1, 3, 3, "0,5"), doc.UpdateFields()}) {
        Check(Known(rc));
        all = all && rc == 0;
    }
    return all;
}

// The bytes as a file the reader can open by name (an anonymous file in memory).
std::string AsFile(const std::uint8_t* data, std::size_t size, int* fd)
{
    *fd = ::memfd_create("template", MFD_CLOEXEC);
    if (*fd < 0)
        return {};
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(*fd, data + done, size - done);
        if (n <= 0)
            break;
        done += std::size_t(n);
    }
    return "/proc/self/fd/" + std::to_string(*fd);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    int fd = -1;
    const std::string path = AsFile(data, size, &fd);
    if (path.empty())
        return 0;
    vx4::CWordDocument doc;
    const int opened = doc.AddDocumentFromTemplate(path);
    ::close(fd);
    Check(Known(opened));
    if (opened != 0) {
        Check(!doc.ErrorText().empty());
        return 0;
    }
    const bool filled = Fill(doc);
    std::string bytes;
    const int saved = doc.Save(&bytes);
    Check(Known(saved));
    if (saved != 0)
        return 0;
    Check(!bytes.empty());
    // The saved document is a package the reader takes again, and the filling that worked
    // on the template works on it as well.
    int again = -1;
    const std::string copy = AsFile(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), &again);
    if (copy.empty())
        return 0;
    vx4::CWordDocument reread;
    Check(reread.AddDocumentFromTemplate(copy) == 0);
    ::close(again);
    if (filled)
        Check(Fill(reread));
    return 0;
}
