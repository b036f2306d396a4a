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
        QWidget* modal = QApplication::activeModalWidget();
        if (modal == nullptr || !modal->isVisible()) {
            return;
        }
        if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            messages << box->text();
            captions << box->windowTitle();
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
};

}  // namespace tarvik::testing
