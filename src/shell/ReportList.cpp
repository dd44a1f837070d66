#include "shell/ReportList.h"

#include <QHeaderView>
#include <QTreeWidget>

namespace qordex::shell {

QTreeWidget* MakeReportList(QWidget* parent, const QString& name, const QStringList& columns,
                            std::initializer_list<int> widths) {
    auto* list = new QTreeWidget(parent);
    list->setObjectName(name);
    list->setHeaderLabels(columns);
    int column = 0;
    for (int width : widths)
        list->setColumnWidth(column++, width);
    list->setRootIsDecorated(false);
    list->setItemsExpandable(false);
    list->setExpandsOnDoubleClick(false);
    list->setSortingEnabled(false);
    list->header()->setSectionsClickable(false);
    list->setSelectionBehavior(QAbstractItemView::SelectRows);
    list->setSelectionMode(QAbstractItemView::SingleSelection);
    list->setEditTriggers(QAbstractItemView::NoEditTriggers);
    return list;
}

} // namespace qordex::shell
