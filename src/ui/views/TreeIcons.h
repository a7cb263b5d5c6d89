#pragma once
// The eleven 16x16 icons of the configuration tree and the table's toolbar (ImageList1),
// drawn with QPainter: 0 default/device, 1 event group, 2 event, 3 constants group,
// 4 constant, 5 calculated-values group, 6 calculated value, 7 system, 8 spreadsheet
// export, 9 clean, 10 transducer constant (a constant whose name starts with "dev").

#include <QIcon>
#include <QPixmap>

namespace vx4 {

inline constexpr int TreeIconCount = 11;

// The icon with this index; an index outside 0..10 gives the default icon.
QPixmap TreeIconPixmap(int index);
QIcon TreeIconAt(int index);

} // namespace vx4
