// The command queue on its own: order, coalescing, results dropped for a receiver that is gone,
// and a queue destroyed with a command still running.
#include <gtest/gtest.h>

#include <QObject>
#include <QStringList>
#include <future>
#include <memory>

#include "device/commandqueue.h"
#include "harness.h"

namespace {

TEST(CommandQueue, RunsInOrderCoalescesAndDeliversOnlyToLiveReceivers) {
    QStringList handled;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    QObject receiver;
    auto gone = std::make_unique<QObject>();
    {
        CommandQueue queue(1000);
        auto blocked = [released] {
            released.wait();
            return QStringLiteral("first");
        };
        auto record = [&](const QString &result) { handled << result; };
        ASSERT_TRUE(queue.post(&receiver, "slow", blocked, record));
        EXPECT_FALSE(queue.post(&receiver, "slow", blocked, record));  // already on its way
        EXPECT_TRUE(queue.post(
            gone.get(), "", [] { return QStringLiteral("lost"); }, record));
        EXPECT_TRUE(queue.post(
            &receiver, "", [] { return QStringLiteral("second"); }, record));
        EXPECT_TRUE(queue.isPending("slow"));
        EXPECT_EQ(queue.pending(), 3);
        gone.reset();
        release.set_value();
        ASSERT_TRUE(test::spin([&] { return queue.pending() == 0; }));
        EXPECT_EQ(handled, (QStringList{"first", "second"}));
        EXPECT_TRUE(queue.post(
            &receiver, "slow", [] { return QStringLiteral("again"); }, record));
        ASSERT_TRUE(test::spin([&] { return queue.pending() == 0; }));
    }
    EXPECT_EQ(handled, (QStringList{"first", "second", "again"}));

    // Destroyed while a command runs past the wait: the destructor returns, the result is dropped
    // and the thread ends on its own once the command does.
    std::promise<void> late;
    std::shared_future<void> lateReleased = late.get_future().share();
    auto queue = std::make_unique<CommandQueue>(10);
    std::promise<void> running;
    queue->post(
        &receiver, "",
        [lateReleased, &running] {
            running.set_value();
            lateReleased.wait();
            return 1;
        },
        [&](int) { handled << "after close"; });
    running.get_future().wait();
    queue.reset();
    late.set_value();
    for (int i = 0; i < 20; ++i)
        QCoreApplication::processEvents();
    EXPECT_EQ(handled.size(), 3);
}

}  // namespace
