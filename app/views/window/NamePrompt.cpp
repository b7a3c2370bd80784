#include "views/window/NamePrompt.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "model/UiText.h"

namespace dorvex::app {

NamePrompt::NamePrompt(const QString& title, const QString& message, const QString& name, QWidget* parent)
    : QDialog(parent), field_(new QLineEdit(name, this)) {
    setWindowTitle(title);
    setWindowModality(Qt::WindowModal);
    setAttribute(Qt::WA_DeleteOnClose);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(20, 18, 20, 14);
    layout->setSpacing(12);

    auto* heading = new QLabel(title, this);
    QFont headingFont = heading->font();
    headingFont.setBold(true);
    heading->setFont(headingFont);
    layout->addWidget(heading);
    if (!message.isEmpty()) {
        auto* text = new QLabel(message, this);
        text->setWordWrap(true);
        layout->addWidget(text);
    }
    field_->setObjectName(QStringLiteral("presetNameField"));
    field_->setMinimumWidth(260);
    auto* form = new QFormLayout;
    form->addRow(ui("名称"), field_);
    layout->addLayout(form);

    auto* buttons = new QDialogButtonBox(this);
    QPushButton* save = buttons->addButton(ui("保存"), QDialogButtonBox::AcceptRole);
    save->setObjectName(QStringLiteral("presetNameSave"));
    save->setDefault(true);
    buttons->addButton(ui("取消"), QDialogButtonBox::RejectRole)->setObjectName(QStringLiteral("presetNameCancel"));
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);
    field_->selectAll();
}

QString NamePrompt::name() const { return field_->text(); }

}  // namespace dorvex::app
