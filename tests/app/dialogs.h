// Helpers for driving dialogs: answering the modal boxes they open, the settings store, and
// screenshots.
#pragma once

#include <gtest/gtest.h>
#include <QApplication>
#include <QSettings>
#include <QString>
#include <QTimer>
#include <QWidget>

#include <functional>

namespace test {

inline QSettings appSettings() {
    return QSettings(QStringLiteral("Corvanta"), QStringLiteral("Survokart"));
}

// Answers every visible modal window of type T from the event loop (the code under test sits in
// its exec() meanwhile), so that no box waits for a person.
template <typename T>
class ModalAnswer {
public:
    explicit ModalAnswer(std::function<void(T *)> answer) : m_answer(std::move(answer)) {
        m_timer.setInterval(5);
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            for (QWidget *w : QApplication::topLevelWidgets()) {
                auto *dialog = qobject_cast<T *>(w);
                if (dialog && dialog->isVisible()) m_answer(dialog);
            }
        });
        m_timer.start();
    }

private:
    std::function<void(T *)> m_answer;
    QTimer m_timer;
};

// Writes a picture of the widget beside the build's other outputs.
inline void screenshot(QWidget &widget, const QString &name) {
    widget.adjustSize();
    EXPECT_TRUE(widget.grab().save(QStringLiteral(SCREENSHOT_DIR "/") + name));
}

}  // namespace test
