#pragma once
// The frame every tool window shares: its own taskbar entry, one-time
// initialisation on first show, shutdown on close, and the Clear and Save to
// file buttons.  The frame knows no launcher: whoever opens a tool window
// may hand it a TToolHost, and lists it by watching its `destroyed` signal.

#include <QPointer>
#include <QStringList>
#include <QWidget>
#include <optional>
#include <string>

class QColor;

class QToolButton;

namespace qordex::shell {

class TMemo;
class TToolForm;

// What the program that opens the tool windows (the launcher) offers them.
class TToolHost {
public:
    // The window of this class opened most recently; null when none was, or
    // when it has been freed since.  Secondary windows address their tool
    // through it (the DNS server list writes into the current DNS window).
    virtual TToolForm* CurrentInstance(const QString& className) const = 0;
    // The system's temporary folder with a trailing separator, recorded at start-up.
    virtual const std::string& TempDirectory() const = 0;

protected:
    ~TToolHost() = default;
};

class TToolForm : public QWidget {
    Q_OBJECT
public:
    // `className` is the tool's window class ("TForm2"), used for the
    // launcher's current-instance table.
    explicit TToolForm(const QString& className, QWidget* parent = nullptr);
    ~TToolForm() override;

    const QString& ClassName() const { return className_; }

    // The host that opened this window; null for a window opened alone (a
    // test) and once the host is gone.  `owner` is the host's own object,
    // watched so that a host freed first is never reached.
    TToolHost* Host() const { return hostObject_ ? host_ : nullptr; }
    void SetHost(TToolHost* host, QObject* owner);
    bool FirstShown() const { return firstShown_; }

    // Clear and Save to file, as the buttons do.
    void ClearBtClick();
    void SaveBtClick();

protected:
    // One-time initialisation, run on the first show only.
    virtual void FirstShow() {}
    // Stops what the tool runs (servers, sockets, workers) before the window is freed.
    virtual void Shutdown() {}
    // Empties the tool's output panes.
    virtual void ClearOutput();
    // What Save to file writes and proposes; a tool without Save leaves the pane null.
    virtual TMemo* SavePane() const { return nullptr; }
    // The lines Save to file writes: the pane's by default; nullopt when the
    // tool has nothing to save.
    virtual std::optional<QStringList> SaveContent() const;
    virtual QString SavePresetName() const { return {}; }
    virtual QString SaveFilter() const;

    // Paints the window in `window` and its fields and panes in `fields`, with
    // dark text, so that it reads the same under a dark desktop palette.
    void SetToolColours(const QColor& window, const QColor& fields);
    // A fixed-size window with a system menu and minimise only.
    void SetFixedToolSize(int width, int height);

    // The flat Clear and Save to file glyph buttons, wired to the handlers above.
    QToolButton* MakeClearButton();
    QToolButton* MakeSaveButton();

    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    QString className_;
    TToolHost* host_ = nullptr;
    QPointer<QObject> hostObject_;
    bool firstShown_ = false;
    bool shutDown_ = false;
};

// Writes the lines to a file, one per line, replacing it; false on failure.
bool WriteLinesToFile(const QString& path, const QStringList& lines);

} // namespace qordex::shell
