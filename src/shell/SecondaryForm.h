#pragma once
// A secondary window (server list, country list, directory list, ...) writes
// its result into the window that opened it.  It holds that window by a
// guarded pointer, so a result chosen after the opener closed goes nowhere.

#include <QPointer>
#include <QWidget>

namespace qordex::shell {

class TSecondaryForm : public QWidget {
    Q_OBJECT
public:
    TSecondaryForm(const QString& className, QWidget* opener);

    QWidget* Opener() const { return opener_.data(); }

    // Runs `fn` with the opener as `T` when it is still open and of that kind.
    template<class T, class Fn>
    bool WithOpener(Fn&& fn) const {
        if (T* target = dynamic_cast<T*>(opener_.data())) {
            fn(*target);
            return true;
        }
        return false;
    }

private:
    QPointer<QWidget> opener_;
};

} // namespace qordex::shell
