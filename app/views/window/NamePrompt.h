#pragma once
// NamePrompt: the small window-modal dialog that asks for a preset's name — "新建预设" with its
// message, or "重命名预设" — with the field "名称", "保存" and "取消".

#include <QDialog>

class QLineEdit;

namespace dorvex::app {

class NamePrompt : public QDialog {
    Q_OBJECT

public:
    // An empty message shows none.
    NamePrompt(const QString& title, const QString& message, const QString& name, QWidget* parent);

    QString name() const;
    QLineEdit* field() const { return field_; }

private:
    QLineEdit* field_;
};

}  // namespace dorvex::app
