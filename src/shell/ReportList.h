#pragma once
// The read-only report list of the tools' tables and reference lists: one
// row per item, whole-row single selection, no editing, no tree, and no
// sorting by a click on a column.

#include <QStringList>
#include <initializer_list>

class QTreeWidget;
class QWidget;

namespace qordex::shell {

// A list named `name` with these column captions and widths.
QTreeWidget* MakeReportList(QWidget* parent, const QString& name, const QStringList& columns,
                            std::initializer_list<int> widths);

} // namespace qordex::shell
