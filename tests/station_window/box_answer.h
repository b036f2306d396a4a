// What the station window's Qt tests share: a modal box answered from inside its own event
// loop.
#pragma once

#include <QApplication>
#include <QMessageBox>
#include <QObject>
#include <QStringList>
#include <QTimer>

#include <chrono>
#include <functional>

namespace tarvik::station {

// While it lives, answers the next modal box the window opens (from inside the box's own
// event loop) with `answer`, keeping its text.
class BoxAnswer {
public:
    explicit BoxAnswer(std::function<void(QMessageBox*)> answer) : m_answer(std::move(answer)) {
        QObject::connect(&m_poll, &QTimer::timeout, [this] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (box == nullptr || !box->isVisible()) {
                return;
            }
            m_poll.stop();
            texts << box->text();
            m_answer(box);
        });
        m_poll.start(kPoll);
    }
    // Answers the next box too.
    void Again() { m_poll.start(kPoll); }

    QStringList texts;

private:
    static constexpr std::chrono::milliseconds kPoll{10};
    std::function<void(QMessageBox*)> m_answer;
    QTimer m_poll;
};

}  // namespace tarvik::station
