#pragma once

#include <QDialog>
#include <QTimer>

#include <functional>
#include <string>

class QPlainTextEdit;

// The status window: the hub's status as text (UTF-8), fetched again once a second while the
// window shows, with "Copy" for pasting it into a chat or an e-mail. Ordinary and modeless; it
// only shows what the source gives.
class CStatusDlg : public QDialog {
    Q_OBJECT

public:
    using TextSource = std::function<std::string()>;

    explicit CStatusDlg(TextSource source, QWidget* parent = nullptr);

    void Refresh();
    void CopyToClipboard();
    QString Text() const;
    bool IsRefreshing() const { return m_timer.isActive(); }

    static constexpr int kRefreshMs = 1000;

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    TextSource m_source;
    QPlainTextEdit* m_text = nullptr;
    QTimer m_timer;
};
