#include "platform/MessageLoop.h"
#include "platform/HiddenWindow.h"

#include <QThread>
#include <atomic>
#include <gtest/gtest.h>
#include <vector>

using namespace qordex;

TEST(HiddenWindow, PostedMessagesArriveLaterAndInOrder) {
    std::vector<unsigned> seen;
    HiddenWindow w([&](unsigned msg, WPARAM wp, LPARAM lp) {
        seen.push_back(msg);
        EXPECT_EQ(wp, msg * 10u);
        EXPECT_EQ(lp, -LPARAM(msg));
    });
    for (unsigned m = WM_USER; m < WM_USER + 5; ++m)
        w.Post(m, m * 10u, -LPARAM(m));
    EXPECT_TRUE(seen.empty()) << "posting must never dispatch inside the call";
    PumpUntil([&] { return seen.size() == 5; }, 2000);
    ASSERT_EQ(seen.size(), 5u);
    for (unsigned i = 0; i < 5; ++i)
        EXPECT_EQ(seen[i], WM_USER + i);
}

TEST(HiddenWindow, MessagesAndCallsShareOneQueue) {
    std::vector<int> order;
    HiddenWindow w([&](unsigned msg, WPARAM, LPARAM) { order.push_back(int(msg)); });
    w.Post(1);
    w.PostCall([&] { order.push_back(2); });
    w.Post(3);
    PumpUntil([&] { return order.size() == 3; }, 2000);
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST(HiddenWindow, MessagesQueuedForADestroyedWindowAreDropped) {
    int calls = 0;
    auto* w = new HiddenWindow([&](unsigned, WPARAM, LPARAM) { ++calls; });
    w->Post(1);
    delete w;
    PumpMessages();
    EXPECT_EQ(calls, 0);
}

TEST(HiddenWindow, PostFromAnotherThreadRunsOnTheOwnerThread) {
    std::atomic<QThread*> ranOn{nullptr};
    HiddenWindow w([&](unsigned, WPARAM, LPARAM) { ranOn = QThread::currentThread(); });
    std::unique_ptr<QThread> t(QThread::create([&] { w.Post(7); }));
    t->start();
    t->wait();
    PumpUntil([&] { return ranOn.load() != nullptr; }, 2000);
    EXPECT_EQ(ranOn.load(), QThread::currentThread());
}

TEST(HiddenWindow, AWorkerThreadRunsItsOwnLoop) {
    std::atomic<bool> handled{false};
    std::atomic<QThread*> ranOn{nullptr};
    std::unique_ptr<QThread> t(QThread::create([&] {
        HiddenWindow w([&](unsigned, WPARAM, LPARAM) {
            ranOn = QThread::currentThread();
            handled = true;
        });
        w.Post(1);
        PumpUntil([&] { return handled.load(); }, 2000);
    }));
    t->start();
    t->wait();
    EXPECT_TRUE(handled);
    EXPECT_EQ(ranOn.load(), t.get());
}

TEST(MessageLoop, PumpUntilGivesUpAtTheTimeout) {
    EXPECT_FALSE(PumpUntil([] { return false; }, 50));
}
