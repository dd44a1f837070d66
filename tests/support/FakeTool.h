#pragma once
// A minimal tool window for frame and launcher tests: one output pane, Save
// proposes the host field, and it counts its first shows and shutdowns.

#include "shell/Memo.h"
#include "shell/ToolForm.h"

#include <QLineEdit>

namespace qordex::test {

class FakeTool : public shell::TToolForm {
public:
    explicit FakeTool(const QString& className = QStringLiteral("TFake")) : TToolForm(className) {
        memo = new shell::TMemo(this);
        host = new QLineEdit(this);
        MakeClearButton();
        MakeSaveButton();
    }
    shell::TMemo* memo;
    QLineEdit* host;
    int firstShows = 0;
    int shutdowns = 0;

protected:
    void FirstShow() override { ++firstShows; }
    void Shutdown() override { ++shutdowns; }
    shell::TMemo* SavePane() const override { return memo; }
    QString SavePresetName() const override { return host->text(); }
};

} // namespace qordex::test
