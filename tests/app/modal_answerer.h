// Answers the modal boxes a window test opens: while it lives, it looks for the active modal
// window every few milliseconds (from inside the modal's own event loop) and records and
// answers it.
#pragma once

#include <QApplication>
#include <QDialog>
#include <QFileDialog>
#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <chrono>
#include <functional>

namespace tarvik::testing {

class ModalAnswerer : public QObject {
public:
    static constexpr std::chrono::milliseconds kPollPeriod{10};

    ModalAnswerer() {
        connect(&m_poll, &QTimer::timeout, this, &ModalAnswerer::Answer);
        m_poll.start(kPollPeriod);
    }

    // What a file dialog is told; by default it is cancelled.
    std::function<void(QFileDialog*)> onFileDialog = [](QFileDialog* dialog) { dialog->reject(); };
    // Looks at a message box as it is shown, before it is answered with OK.
    std::function<void(QMessageBox*)> onMessageBox;

    // Message boxes seen: their texts and captions, in order.
    QStringList messages;
    QStringList captions;
    // Other dialogs seen (their window titles), each closed with OK.
    QStringList dialogs;
    int fileDialogs = 0;

    void Clear() {
        messages.clear();
        captions.clear();
        dialogs.clear();
        fileDialogs = 0;
    }

private:
    void Answer() {
        // An answer may wait (for a folder to be listed); the polls meanwhile leave it be.
        if (m_answering) {
            return;
        }
        QWidget* modal = QApplication::activeModalWidget();
        if (modal == nullptr || !modal->isVisible()) {
            return;
        }
        m_answering = true;
        AnswerModal(modal);
        m_answering = false;
    }

    void AnswerModal(QWidget* modal) {
        if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            messages << box->text();
            captions << box->windowTitle();
            if (onMessageBox) {
                onMessageBox(box);
            }
            box->accept();
        } else if (auto* files = qobject_cast<QFileDialog*>(modal)) {
            if (files == m_lastFileDialog) {
                // Still open after it was answered: the answer did not take. Cancel it so the
                // test fails on its result instead of hanging in the dialog.
                files->reject();
                return;
            }
            m_lastFileDialog = files;
            ++fileDialogs;
            onFileDialog(files);
        } else if (auto* dialog = qobject_cast<QDialog*>(modal);
                   dialog != nullptr && dialog->parentWidget() != nullptr) {
            // A box over a window (the main window itself has no parent and is left alone).
            dialogs << dialog->windowTitle();
            dialog->accept();
        }
    }

    QTimer m_poll;
    QPointer<QFileDialog> m_lastFileDialog;
    bool m_answering = false;
};

}  // namespace tarvik::testing
