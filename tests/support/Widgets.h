#pragma once
// Finding a window's controls by their object names in window tests.

#include <QString>
#include <QWidget>
#include <gtest/gtest.h>

namespace qordex::test {

// The child of `form` named `name`; a missing one fails the test and gives null.
template<class T> T* Find(QWidget* form, const char* name) {
    T* w = form->findChild<T*>(QString::fromLatin1(name));
    EXPECT_NE(w, nullptr) << name;
    return w;
}

} // namespace qordex::test
