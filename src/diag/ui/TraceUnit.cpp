#include "diag/ui/TraceUnit.h"

#include "diag/Trace.h"
#include "shell/Dialogs.h"
#include "shell/ReportList.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QToolButton>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <variant>

namespace qordex::diag {
namespace {

QLineEdit* MakeEdit(QWidget* parent, const char* name, const char* text, int width) {
    auto* e = new QLineEdit(QString::fromLatin1(text), parent);
    e->setObjectName(QString::fromLatin1(name));
    e->setFixedWidth(width);
    return e;
}

QString Q(const std::string& s) {
    return QString::fromStdString(s);
}

} // namespace

TForm16::TForm16(QWidget* parent) : TForm16(DefaultTraceProbes(), parent) {}

TForm16::TForm16(const TraceProbes& probes, QWidget* parent)
    : shell::TToolForm(QStringLiteral("TForm16"), parent),
      run_(std::make_unique<TTraceRun>(probes)) {
    Build();
    run_->OnTable = [this] { FillTable(); };
    run_->OnRow = [this](int index) { ShowRow(index); };
    run_->OnLabel = [this](const std::string& label) { LookupLabel->setText(Q(label)); };
    run_->OnDone = [this] { SetIdle(true); };
}

TForm16::~TForm16() {
    // Workers still out are let go here; none reaches this window again.
    run_.reset();
}

void TForm16::Build() {
    setWindowTitle(QStringLiteral("Traceroute"));
    resize(520, 400);

    HostEdit = new QLineEdit(this);
    HostEdit->setObjectName(QStringLiteral("HostEdit"));
    LookupLabel = new QLabel(this);
    LookupLabel->setObjectName(QStringLiteral("LookupLabel"));
    HopsEdit = MakeEdit(this, "HopsEdit", "40", 50);
    TriesEdit = MakeEdit(this, "TriesEdit", "4", 50);
    TimeoutEdit = MakeEdit(this, "TimeoutEdit", "1000", 50);
    PacketEdit = MakeEdit(this, "PacketEdit", "56", 50);

    StartBt = new QPushButton(QStringLiteral("Start"), this);
    StartBt->setObjectName(QStringLiteral("StartBt"));
    CancelBt = new QPushButton(QStringLiteral("Cancel"), this);
    CancelBt->setObjectName(QStringLiteral("CancelBt"));
    CancelBt->setEnabled(false);

    TraceList = shell::MakeReportList(
        this, QStringLiteral("TraceList"),
        {QStringLiteral("Hop"), QStringLiteral("IP address"), QStringLiteral("Time"),
         QStringLiteral("Host name"), QStringLiteral("Result")},
        {35, 100, 50, 215, 65});
    auto* head = TraceList->headerItem();
    for (int c : {1, 2, 3})
        head->setTextAlignment(c, Qt::AlignRight | Qt::AlignVCenter);
    head->setTextAlignment(4, Qt::AlignCenter);

    auto label = [this](const char* text) { return new QLabel(QString::fromLatin1(text), this); };
    auto* form = new QGridLayout;
    form->addWidget(label("Host"), 0, 0);
    form->addWidget(HostEdit, 0, 1, 1, 3);
    form->addWidget(label("Address:"), 1, 0);
    form->addWidget(LookupLabel, 1, 1, 1, 3);
    form->addWidget(label("Hops"), 2, 0);
    form->addWidget(HopsEdit, 2, 1);
    form->addWidget(label("Tries per hop"), 2, 2);
    form->addWidget(TriesEdit, 2, 3);
    form->addWidget(label("Time out"), 3, 0);
    form->addWidget(TimeoutEdit, 3, 1);
    form->addWidget(label("Packet size"), 3, 2);
    form->addWidget(PacketEdit, 3, 3);

    auto* buttons = new QVBoxLayout;
    buttons->addWidget(StartBt);
    buttons->addWidget(CancelBt);
    buttons->addStretch(1);
    buttons->addWidget(MakeSaveButton(), 0, Qt::AlignRight);

    auto* top = new QHBoxLayout;
    top->addLayout(form, 1);
    top->addLayout(buttons);

    auto* box = new QVBoxLayout(this);
    box->addLayout(top);
    box->addWidget(TraceList, 1);

    connect(StartBt, &QPushButton::clicked, this, [this] { StartBtClick(); });
    connect(HostEdit, &QLineEdit::returnPressed, this, [this] { StartBtClick(); });
    connect(CancelBt, &QPushButton::clicked, this, [this] { CancelBtClick(); });
}

void TForm16::SetIdle(bool idle) {
    for (QWidget* w : std::initializer_list<QWidget*>{StartBt, HopsEdit, TriesEdit, TimeoutEdit,
                                                      PacketEdit, HostEdit})
        w->setEnabled(idle);
    CancelBt->setEnabled(!idle);
}

void TForm16::StartBtClick() {
    if (HostEdit->text().isEmpty() || run_->Running())
        return;
    // Every field is read before the table is touched: a bad one starts nothing.
    const auto read =
        ReadTraceSettings(HopsEdit->text().toStdString(), TriesEdit->text().toStdString(),
                          TimeoutEdit->text().toStdString(), PacketEdit->text().toStdString());
    if (const auto* error = std::get_if<std::string>(&read)) {
        shell::ShowError(this, Q(*error));
        return;
    }
    SetIdle(false);
    run_->Start(HostEdit->text().toStdString(), std::get<TraceSettings>(read));
    TraceList->setFocus();
}

void TForm16::CancelBtClick() {
    run_->Cancel();
}

void TForm16::Shutdown() {
    run_->OnDone = nullptr;
    run_->Cancel();
}

void TForm16::FillTable() {
    TraceList->clear();
    for (std::size_t i = 0; i < run_->Rows().size(); ++i) {
        auto* item = new QTreeWidgetItem(TraceList);
        for (int c : {1, 2, 3})
            item->setTextAlignment(c, Qt::AlignRight | Qt::AlignVCenter);
        item->setTextAlignment(4, Qt::AlignCenter);
        ShowRow(int(i));
    }
}

void TForm16::ShowRow(int index) {
    QTreeWidgetItem* item = TraceList->topLevelItem(index);
    if (!item || index >= int(run_->Rows().size()))
        return;
    const TraceRow& row = run_->Rows()[std::size_t(index)];
    item->setText(0, QString::number(row.hop));
    item->setText(1, Q(row.address));
    item->setText(2, Q(row.time));
    item->setText(3, Q(row.hostName));
    item->setText(4, Q(row.result));
}

QStringList TForm16::ReportLines() const {
    QStringList lines;
    for (const std::string& line :
         TraceReportLines(HostEdit->text().toStdString(), LookupLabel->text().toStdString(),
                          run_->Rows()))
        lines << Q(line);
    return lines;
}

QString TForm16::SavePresetName() const {
    return HostEdit->text();
}

std::optional<QStringList> TForm16::SaveContent() const {
    return ReportLines();
}

} // namespace qordex::diag
