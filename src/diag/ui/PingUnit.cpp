#include "diag/ui/PingUnit.h"

#include "diag/PingThread.h"
#include "shell/Dialogs.h"
#include "shell/Memo.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>

namespace qordex::diag {
namespace {

QLineEdit* MakeEdit(QWidget* parent, const char* name, const char* text) {
    auto* e = new QLineEdit(QString::fromLatin1(text), parent);
    e->setObjectName(QString::fromLatin1(name));
    e->setFixedWidth(70);
    return e;
}

} // namespace

TForm2::TForm2(QWidget* parent) : shell::TToolForm(QStringLiteral("TForm2"), parent) {
    setWindowTitle(QStringLiteral("Ping"));
    resize(560, 330);

    Memo1 = new shell::TMemo(this);
    Memo1->setObjectName(QStringLiteral("Memo1"));

    HostEdit = new QLineEdit(this);
    HostEdit->setObjectName(QStringLiteral("HostEdit"));
    Edit1 = MakeEdit(this, "Edit1", "40");
    Edit2 = MakeEdit(this, "Edit2", "1000");
    Edit3 = MakeEdit(this, "Edit3", "56");
    Edit4 = MakeEdit(this, "Edit4", "500");

    RepeatCheck = new QCheckBox(QStringLiteral("Repeat"), this);
    RepeatCheck->setObjectName(QStringLiteral("RepeatCheck"));

    BulkBox = new QComboBox(this);
    BulkBox->setObjectName(QStringLiteral("BulkBox"));
    BulkBox->setEditable(true);
    for (const char* item : {"1", "2", "3", "4", "5", "10", "15", "20", ""})
        BulkBox->addItem(QString::fromLatin1(item));
    BulkBox->setCurrentIndex(0);
    BulkBox->setFixedWidth(70);

    PingBt = new QPushButton(QStringLiteral("Ping"), this);
    PingBt->setObjectName(QStringLiteral("PingBt"));
    CancelBt = new QPushButton(QStringLiteral("Cancel"), this);
    CancelBt->setObjectName(QStringLiteral("CancelBt"));
    CancelBt->setEnabled(false);

    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));

    auto* form = new QGridLayout;
    auto label = [this](const char* text) { return new QLabel(QString::fromLatin1(text), this); };
    form->addWidget(label("Host"), 0, 0);
    form->addWidget(HostEdit, 0, 1, 1, 2);
    form->addWidget(label("Time To Live"), 1, 0);
    form->addWidget(Edit1, 1, 1);
    form->addWidget(label("Time Out"), 2, 0);
    form->addWidget(Edit2, 2, 1);
    form->addWidget(label("Packet Size"), 3, 0);
    form->addWidget(Edit3, 3, 1);
    form->addWidget(RepeatCheck, 4, 0);
    form->addWidget(Edit4, 4, 1);
    form->addWidget(label("interval"), 4, 2);
    form->addWidget(label("Bulk packets"), 5, 0);
    form->addWidget(BulkBox, 5, 1);
    form->addWidget(label("threads"), 5, 2);

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(PingBt);
    buttons->addWidget(CancelBt);

    auto* tools = new QHBoxLayout;
    tools->addStretch(1);
    tools->addWidget(MakeClearButton());
    tools->addWidget(MakeSaveButton());

    auto* right = new QVBoxLayout;
    right->addLayout(form);
    right->addLayout(buttons);
    right->addStretch(1);
    right->addLayout(tools);

    auto* top = new QHBoxLayout(this);
    top->addWidget(Memo1, 1);
    top->addLayout(right);

    connect(PingBt, &QPushButton::clicked, this, [this] { PingBtClick(); });
    connect(HostEdit, &QLineEdit::returnPressed, this, [this] { PingBtClick(); });
    connect(CancelBt, &QPushButton::clicked, this, [this] { CancelBtClick(); });
    connect(Timer1, &QTimer::timeout, this, [this] { Timer1Timer(); });
    connect(Edit4, &QLineEdit::editingFinished, this, [this] { Edit4Exit(); });

    // "Sending" lines come from the workers; they are appended on this thread.
    relay_ = std::make_shared<PingLineRelay>(
        this, [this](const std::string& line) { Memo1->AddLine(QString::fromStdString(line)); });
}

TForm2::~TForm2() {
    DetachWorkers();
}

int TForm2::FinishedWorkerCount() const {
    return int(std::count_if(workers_.begin(), workers_.end(),
                             [](const TPingThread* w) { return w->isFinished(); }));
}

QString TForm2::SavePresetName() const {
    return HostEdit->text();
}

void TForm2::FirstShow() {
    stats_.Reset();
    running_ = 0;
    summaryPending_ = false;
    rearm_ = 0;
    timerStarted_ = 0;
}

void TForm2::Shutdown() {
    DetachWorkers();
}

void TForm2::DetachWorkers() {
    if (detached_)
        return;
    detached_ = true;
    relay_->Detach();
    Timer1->stop();
    // From the last to the first: none reports to this window again, each is
    // freed when it ends on its own.
    for (auto it = workers_.rbegin(); it != workers_.rend(); ++it) {
        TPingThread* w = *it;
        if (w->isRunning())
            w->setPriority(QThread::NormalPriority);
        disconnect(w, nullptr, this, nullptr);
        DetachPingThread(w);
    }
    workers_.clear();
}

void TForm2::LockControls(bool locked) {
    for (QWidget* w :
         std::initializer_list<QWidget*>{HostEdit, Edit1, Edit2, Edit3, Edit4, PingBt, RepeatCheck})
        w->setEnabled(!locked);
    CancelBt->setEnabled(locked);
}

void TForm2::PingBtClick() {
    StartBatch();
}

void TForm2::StartBatch() {
    if (detached_ || HostEdit->text().isEmpty())
        return;
    const std::optional<int> bulk = IntegerOrError(BulkBox->currentText());
    if (!bulk || *bulk <= 0)
        return;
    const QLineEdit* fields[] = {Edit1, Edit2, Edit3}; // TTL, timeout, size
    std::optional<int> values[3];
    for (int i = 0; i < 3; ++i)
        if (!(values[i] = IntegerOrError(fields[i]->text())))
            return;
    // Each request is a thread with its own socket: a typing slip must not start thousands.
    const int count = std::min(*bulk, kMaxBulk);
    const std::string host = HostEdit->text().toStdString();
    for (int i = 0; i < count; ++i) {
        rearm_ = 1;
        ++running_;
        summaryPending_ = false;
        if (RepeatCheck->isChecked())
            LockControls(true);
        auto* w = new TPingThread(host, *values[0], *values[1], *values[2],
                                  timerStarted_ == 1 ? nullptr : relay_);
        connect(
            w, &QThread::finished, this, [this, w] { WorkerDone(w); }, Qt::QueuedConnection);
        workers_.push_back(w);
        w->start(QThread::LowestPriority);
    }
}

void TForm2::WorkerDone(TPingThread* worker) {
    // A worker let go at close is no longer listed; its completion is not ours.
    auto it = std::find(workers_.begin(), workers_.end(), worker);
    if (it == workers_.end())
        return;
    workers_.erase(it);
    const QString line = QString::fromStdString(worker->ResultLine());
    const bool success = worker->Success();
    const std::uint32_t roundTrip = worker->RoundTrip();
    delete worker; // it has ended: `finished` was its last act
    if (QCoreApplication::closingDown())
        return;

    --running_;
    Memo1->AddLine(line);
    stats_.Add(success, roundTrip);
    if (RepeatCheck->isChecked() && rearm_ == 1) {
        rearm_ = 0; // before a dialog runs the loop, so no other worker arms the timer
        QPointer<TForm2> alive(this); // the dialog runs the loop: the window may close
        if (auto interval = IntegerOrError(Edit4->text())) {
            Timer1->setInterval(std::max(0, *interval));
            Timer1->start();
        } else if (!alive) {
            return;
        }
    }
    rearm_ = 0;
    if (summaryPending_ && running_ == 0)
        PrintSummary();
}

void TForm2::Timer1Timer() {
    Timer1->stop();
    timerStarted_ = 1;
    StartBatch();
}

void TForm2::Edit4Exit() {
    if (auto interval = IntegerOrError(Edit4->text()))
        Timer1->setInterval(std::max(0, *interval));
}

std::optional<int> TForm2::IntegerOrError(const QString& text) {
    std::optional<int> value = ParsePingInteger(text.toStdString());
    if (!value)
        shell::ShowError(this, QString::fromStdString(NotAnIntegerMessage(text.toStdString())));
    return value;
}

void TForm2::CancelBtClick() {
    rearm_ = 0;
    if (RepeatCheck->isChecked()) {
        Timer1->stop();
        LockControls(false);
        summaryPending_ = true;
        if (running_ == 0)
            PrintSummary();
    }
    timerStarted_ = 0;
    RepeatCheck->setEnabled(true);
}

void TForm2::PrintSummary() {
    summaryPending_ = false;
    Memo1->AddLine(QString::fromStdString(stats_.PacketLine()));
    Memo1->AddLine(QString::fromStdString(stats_.TimeLine()));
    stats_.Reset();
    Memo1->AddLine(QString());
    running_ = 0;
}

} // namespace qordex::diag
