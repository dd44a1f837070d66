#include "mail/ui/B64Unit.h"
#include "mail/UUEnc.h"
#include "support/ScriptedDialogs.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>
#include <gtest/gtest.h>

using namespace qordex;
using qordex::mail::TForm22;

namespace {

QByteArray ReadFile(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return "<missing>";
    return f.readAll();
}

void WriteFile(const QString& path, const QByteArray& data) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(data);
}

class EncoderWindow : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        w = new TForm22(nullptr);
        w->show();
    }
    void TearDown() override {
        if (w)
            w->close();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    template<class T> T* Get(const char* name) {
        T* child = w->findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(child, nullptr) << name;
        return child;
    }
    void Click(const char* name) { QTest::mouseClick(Get<QAbstractButton>(name), Qt::LeftButton); }
    QString Path(const char* name) const { return dir.filePath(QString::fromLatin1(name)); }
    QString Viewer() { return Get<QPlainTextEdit>("Memo1")->toPlainText(); }

    QTemporaryDir dir;
    test::ScriptedDialogs dialogs;
    QPointer<TForm22> w;
};

} // namespace

TEST_F(EncoderWindow, StartsWithItsCaptionsAndDefaults) {
    EXPECT_EQ(w->windowTitle(), "Encoder / Decoder");
    EXPECT_EQ(w->objectName(), "TForm22");
    EXPECT_EQ(w->size(), QSize(644, 434));
    EXPECT_EQ(w->minimumSize(), w->maximumSize());
    EXPECT_TRUE(Get<QRadioButton>("Base64Radio")->isChecked());
    EXPECT_EQ(w->Mode(), 1);
    const struct {
        const char* name;
        const char* caption;
    } captions[] = {
        {"Base64Radio", "Base64"}, {"UUencodeRadio", "UUencode"}, {"QuotedRadio", "Quoted"},
        {"EncodeBt", "Encode"},    {"DecodeBt", "Decode"},        {"FromBox", "from viewer"},
        {"ToBox", "to viewer"},
    };
    for (const auto& c : captions)
        EXPECT_EQ(Get<QAbstractButton>(c.name)->text(), c.caption);
    const struct {
        const char* name;
        const char* hint;
    } hints[] = {
        {"InputBt", "Open input file"}, {"OutputBt", "Specify output file"},
        {"LoadBt", "Load from file"},   {"SaveBt", "Save to file"},
        {"ClearBt", "Clear"},
    };
    for (const auto& h : hints)
        EXPECT_EQ(Get<QToolButton>(h.name)->toolTip(), h.hint);
    EXPECT_FALSE(Get<QCheckBox>("FromBox")->isChecked());
    EXPECT_FALSE(Get<QCheckBox>("ToBox")->isChecked());
    EXPECT_TRUE(Get<QLineEdit>("InputEdit")->text().isEmpty());
    EXPECT_EQ(Get<QPlainTextEdit>("Memo1")->height(), 290);

    Click("UUencodeRadio");
    EXPECT_EQ(w->Mode(), 0);
    Click("QuotedRadio");
    EXPECT_EQ(w->Mode(), 2);
}

TEST_F(EncoderWindow, IsAFixedWindowWithLabelsAndAFixedPitchViewer) {
    EXPECT_EQ(w->pos(), QPoint(252, 112));
    const Qt::WindowFlags flags = w->windowFlags();
    EXPECT_TRUE(flags & Qt::WindowCloseButtonHint);
    EXPECT_FALSE(flags & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(flags & Qt::WindowMaximizeButtonHint);
    QStringList labels;
    for (const QLabel* label : w->findChildren<QLabel*>())
        labels << label->text();
    labels.sort();
    EXPECT_EQ(labels, (QStringList{"Input file", "Output file", "Viewer"}));
    const auto* memo = Get<QPlainTextEdit>("Memo1");
    EXPECT_EQ(memo->font().family(), "Courier New");
    EXPECT_EQ(memo->font().pixelSize(), 13);
    EXPECT_EQ(memo->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    EXPECT_EQ(memo->geometry().bottom() + 1, 434);
    EXPECT_TRUE(Get<QLineEdit>("OutputEdit")->text().isEmpty());
}

TEST(EncoderWindowOpener, ButtonIsDisabledWhileTheWindowIsOpen) {
    QPushButton b64(QStringLiteral("B64/UU Encoder/Decoder"));
    QPointer<TForm22> w = new TForm22(nullptr);
    w->Bt(&b64, false);
    EXPECT_FALSE(b64.isEnabled());
    w->show();
    w->close();
    EXPECT_TRUE(b64.isEnabled());
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(w.isNull());

    // The opener's button may go first; closing afterwards is harmless.
    auto* gone = new QPushButton;
    QPointer<TForm22> w2 = new TForm22(nullptr);
    w2->Bt(gone, false);
    delete gone;
    w2->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(w2.isNull());
}

TEST_F(EncoderWindow, ViewerBoxesDisableTheFileNames) {
    Get<QLineEdit>("InputEdit")->setText("in.txt");
    Get<QLineEdit>("OutputEdit")->setText("out.txt");
    Click("FromBox");
    EXPECT_TRUE(Get<QLineEdit>("InputEdit")->text().isEmpty());
    EXPECT_FALSE(Get<QLineEdit>("InputEdit")->isEnabled());
    EXPECT_FALSE(Get<QToolButton>("InputBt")->isEnabled());
    EXPECT_EQ(Get<QLineEdit>("OutputEdit")->text(), "out.txt");
    Click("FromBox");
    EXPECT_TRUE(Get<QLineEdit>("InputEdit")->isEnabled());
    EXPECT_TRUE(Get<QToolButton>("InputBt")->isEnabled());
    EXPECT_TRUE(Get<QLineEdit>("InputEdit")->text().isEmpty());

    Click("ToBox");
    EXPECT_TRUE(Get<QLineEdit>("OutputEdit")->text().isEmpty());
    EXPECT_FALSE(Get<QLineEdit>("OutputEdit")->isEnabled());
    EXPECT_FALSE(Get<QToolButton>("OutputBt")->isEnabled());
    Click("ToBox");
    EXPECT_TRUE(Get<QLineEdit>("OutputEdit")->isEnabled());
}

TEST_F(EncoderWindow, EncodesAndDecodesFilesChosenInTheDialogs) {
    WriteFile(Path("in.bin"), "abc");
    dialogs.fileAnswers = {Path("in.bin"), Path("out.txt")};
    Click("InputBt");
    Click("OutputBt");
    EXPECT_EQ(Get<QLineEdit>("InputEdit")->text(), Path("in.bin"));
    EXPECT_EQ(Get<QLineEdit>("OutputEdit")->text(), Path("out.txt"));
    Click("EncodeBt");
    EXPECT_EQ(ReadFile(Path("out.txt")), "YWJj\r\n");
    EXPECT_TRUE(dialogs.messages.isEmpty()) << dialogs.messages.join("|").toStdString();

    Click("UUencodeRadio");
    Get<QLineEdit>("OutputEdit")->setText(Path("out.uu"));
    Click("EncodeBt");
    EXPECT_EQ(ReadFile(Path("out.uu")), "#86)C\r\n");
    Get<QLineEdit>("InputEdit")->setText(Path("out.uu"));
    Get<QLineEdit>("OutputEdit")->setText(Path("back.bin"));
    Click("DecodeBt");
    EXPECT_EQ(ReadFile(Path("back.bin")), "abc");
}

TEST_F(EncoderWindow, AsksBeforeReplacingAnExistingOutputFile) {
    WriteFile(Path("in.bin"), "x y=z");
    WriteFile(Path("out.txt"), "precious");
    Click("QuotedRadio");
    Get<QLineEdit>("InputEdit")->setText(Path("in.bin"));
    Get<QLineEdit>("OutputEdit")->setText(Path("out.txt"));

    dialogs.messageAnswers = {QMessageBox::No};
    Click("EncodeBt");
    ASSERT_EQ(dialogs.messages.size(), 1);
    EXPECT_TRUE(dialogs.messages[0].contains(Path("out.txt")));
    EXPECT_EQ(ReadFile(Path("out.txt")), "precious");

    dialogs.messageAnswers = {QMessageBox::Yes};
    Click("EncodeBt");
    EXPECT_EQ(dialogs.messages.size(), 2);
    EXPECT_EQ(ReadFile(Path("out.txt")), "x=20y=3Dz\r\n");

    // An empty source replaces the file by an empty one.
    WriteFile(Path("empty.bin"), "");
    Get<QLineEdit>("InputEdit")->setText(Path("empty.bin"));
    dialogs.messageAnswers = {QMessageBox::Yes};
    Click("EncodeBt");
    EXPECT_EQ(ReadFile(Path("out.txt")), "");
}

TEST_F(EncoderWindow, AnOutputChosenInTheSaveDialogIsNotAskedAboutTwice) {
    WriteFile(Path("in.bin"), "abc");
    WriteFile(Path("out.txt"), "precious");
    Get<QLineEdit>("InputEdit")->setText(Path("in.bin"));
    // The save dialog asked about replacing it when it was chosen.
    dialogs.fileAnswers = {Path("out.txt")};
    Click("OutputBt");
    Click("EncodeBt");
    EXPECT_TRUE(dialogs.messages.isEmpty()) << dialogs.messages.join("|").toStdString();
    EXPECT_EQ(ReadFile(Path("out.txt")), "YWJj\r\n");
    // The next run replaces what the last one wrote: that is asked again.
    dialogs.messageAnswers = {QMessageBox::No};
    Click("EncodeBt");
    EXPECT_EQ(dialogs.messages.size(), 1);

    // A name typed after the dialog is asked about.
    WriteFile(Path("other.txt"), "keep");
    dialogs.fileAnswers = {Path("out.txt")};
    Click("OutputBt");
    Get<QLineEdit>("OutputEdit")->setText(Path("other.txt"));
    dialogs.messageAnswers = {QMessageBox::No};
    Click("EncodeBt");
    EXPECT_EQ(dialogs.messages.size(), 2);
    EXPECT_EQ(ReadFile(Path("other.txt")), "keep");
}

TEST_F(EncoderWindow, MissingNamesDoNothingAndErrorsAreReported) {
    Click("EncodeBt");
    Get<QLineEdit>("InputEdit")->setText(Path("in.bin"));
    Click("DecodeBt");
    EXPECT_TRUE(dialogs.messages.isEmpty());
    EXPECT_TRUE(QDir(dir.path()).isEmpty());

    Get<QPlainTextEdit>("Memo1")->setPlainText("as it was");
    Get<QLineEdit>("InputEdit")->setText(Path("missing.bin"));
    Click("ToBox");
    Click("EncodeBt");
    ASSERT_EQ(dialogs.messages.size(), 1);
    EXPECT_TRUE(dialogs.messages[0].contains("Cannot open file"));
    EXPECT_EQ(Viewer(), "as it was");

    // An output that cannot be created leaves no stray file behind.
    WriteFile(Path("in.bin"), "abc");
    Click("ToBox");
    Get<QLineEdit>("InputEdit")->setText(Path("in.bin"));
    Get<QLineEdit>("OutputEdit")->setText(Path("no/such/dir/out.txt"));
    Click("EncodeBt");
    ASSERT_EQ(dialogs.messages.size(), 2);
    EXPECT_TRUE(dialogs.messages[1].contains("Cannot create file"));
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"in.bin"});
}

TEST_F(EncoderWindow, ConvertsTheViewerInPlace) {
    Click("FromBox");
    Click("ToBox");
    Get<QPlainTextEdit>("Memo1")->setPlainText("abc");
    Click("EncodeBt");
    EXPECT_EQ(Viewer(), "YWJjDQo="); // each viewer line ends in CR LF
    Click("DecodeBt");
    EXPECT_EQ(Viewer(), "abc");

    // Quoted: line breaks of the source are escaped, the result's restored.
    Get<QPlainTextEdit>("Memo1")->setPlainText("one\ntwo");
    Click("QuotedRadio");
    Click("EncodeBt");
    EXPECT_EQ(Viewer(), "one=0D=0Atwo=0D=0A");
    Click("DecodeBt");
    EXPECT_EQ(Viewer(), "one\ntwo");

    // An empty source empties the viewer.
    Click("ClearBt");
    EXPECT_TRUE(Viewer().isEmpty());
    Click("EncodeBt");
    EXPECT_TRUE(Viewer().isEmpty());
}

TEST_F(EncoderWindow, DecodesAFileIntoTheViewerAndSavesTheViewer) {
    WriteFile(Path("mail.b64"), "SGVsbG8sIHdvcmxk\r\nDQpzZWNvbmQgbGluZQ0K\r\n");
    Get<QLineEdit>("InputEdit")->setText(Path("mail.b64"));
    Click("ToBox");
    Click("DecodeBt");
    EXPECT_EQ(Viewer(), "Hello, world\nsecond line");

    dialogs.fileAnswers = {Path("saved")};
    Click("SaveBt");
    EXPECT_EQ(ReadFile(Path("saved.txt")), "Hello, world\r\nsecond line\r\n");

    dialogs.fileAnswers = {std::nullopt};
    Click("SaveBt");
    dialogs.fileAnswers = {Path("mail.b64")};
    Click("LoadBt");
    EXPECT_EQ(Viewer(), "SGVsbG8sIHdvcmxk\nDQpzZWNvbmQgbGluZQ0K");
}

TEST_F(EncoderWindow, BytesThatAreNotUtf8GoBackFromTheViewerUnchanged) {
    // A Latin-1 attachment decoded into the viewer, then saved or encoded
    // again from there, keeps its bytes.
    const QByteArray latin1("caf\xE9 cr\xE8me \x80\xFF!");
    WriteFile(Path("mail.b64"),
              QByteArray::fromStdString(qordex::mail::EncodeString(latin1.toStdString(), 1)));
    Get<QLineEdit>("InputEdit")->setText(Path("mail.b64"));
    Click("ToBox");
    Click("DecodeBt");
    EXPECT_EQ(Viewer(), QString::fromLatin1(latin1));

    dialogs.fileAnswers = {Path("saved.txt")};
    Click("SaveBt");
    EXPECT_EQ(ReadFile(Path("saved.txt")), latin1 + "\r\n");

    Click("FromBox");
    Click("EncodeBt");
    Click("DecodeBt");
    EXPECT_EQ(Viewer(), QString::fromLatin1(latin1));

    // UTF-8 text stays UTF-8, also after it replaced Latin-1 text.
    const QByteArray utf8("caf\xC3\xA9 \xE2\x82\xAC");
    WriteFile(Path("utf8.txt"), utf8);
    dialogs.fileAnswers = {Path("utf8.txt")};
    Click("LoadBt");
    EXPECT_EQ(Viewer(), QString::fromUtf8(utf8));
    dialogs.fileAnswers = {Path("saved8.txt")};
    Click("SaveBt");
    EXPECT_EQ(ReadFile(Path("saved8.txt")), utf8 + "\r\n");

    // A character typed beyond Latin-1 makes the text UTF-8 again.
    Get<QPlainTextEdit>("Memo1")->setPlainText(QString::fromLatin1(latin1) + QChar(0x20AC));
    dialogs.fileAnswers = {Path("mixed.txt")};
    Click("SaveBt");
    EXPECT_EQ(ReadFile(Path("mixed.txt")),
              (QString::fromLatin1(latin1) + QChar(0x20AC)).toUtf8() + "\r\n");
}
