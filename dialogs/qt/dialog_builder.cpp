// Widgets from a dialog template.
#include "dialogs/qt/dialog_builder.h"

#include <QDialog>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>

namespace kestrival::dialogs {

using resources::ControlKind;
using resources::ControlTemplate;

namespace {

QWidget *make_control(QDialog &dialog, const ControlTemplate &control, DialogBaseUnits units)
{
    const QString text = to_qstring(control.text);
    QWidget *widget = nullptr;
    switch (control.kind) {
    case ControlKind::Button: {
        auto *button = new QPushButton(text, &dialog);
        const bool isDefault = (control.flags & resources::kDefaultButton) != 0;
        button->setAutoDefault(isDefault);
        button->setDefault(isDefault);
        widget = button;
        break;
    }
    case ControlKind::Static: {
        auto *label = new QLabel(&dialog);
        label->setTextFormat(Qt::PlainText);
        label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        label->setText(text);
        widget = label;
        break;
    }
    case ControlKind::Progress: {
        auto *bar = new QProgressBar(&dialog);
        bar->setRange(kProgressMinimum, kProgressMaximum);
        bar->setValue(kProgressMinimum);
        bar->setTextVisible(false);
        widget = bar;
        break;
    }
    case ControlKind::Icon: {
        auto *label = new QLabel(&dialog);
        label->setPixmap(load_app_icon().pixmap(kLargeIconPx, kLargeIconPx));
        widget = label;
        break;
    }
    }
    widget->setObjectName(to_qstring(control.name));
    widget->setProperty(kControlIdProperty, control.id);
    widget->setFocusPolicy((control.flags & resources::kTabStop) ? Qt::StrongFocus : Qt::NoFocus);
    QRect rect = du_to_px(control.rect, units);
    if (control.kind == ControlKind::Icon)
        rect.setSize({kLargeIconPx, kLargeIconPx});
    widget->setGeometry(rect);
    return widget;
}

} // namespace

QString to_qstring(std::string_view utf8)
{
    return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
}

QIcon load_app_icon()
{
    QIcon icon;
    icon.addFile(QStringLiteral(":/kestrival/icons/kestrival-32.xpm"), {kLargeIconPx, kLargeIconPx});
    icon.addFile(QStringLiteral(":/kestrival/icons/kestrival-16.xpm"), {kSmallIconPx, kSmallIconPx});
    return icon;
}

QFont template_font(const resources::DialogTemplate &tpl)
{
    // The templates' "宋体" is a Windows face; a CJK face of fonts-noto-cjk shows the same texts.
    QFont::insertSubstitution(QStringLiteral("宋体"), QStringLiteral("Noto Sans CJK SC"));
    QFont font(to_qstring(tpl.font.family), tpl.font.pointSize);
    font.setStyleHint(QFont::SansSerif);
    return font;
}

DialogBaseUnits build_dialog(QDialog &dialog, const resources::DialogTemplate &tpl)
{
    dialog.setWindowFlags(kDialogWindowFlags);
    dialog.setWindowTitle(to_qstring(tpl.caption));
    dialog.setFont(template_font(tpl));
    const DialogBaseUnits units = base_units_of(dialog.font());
    dialog.setFixedSize(du_to_px_x(tpl.width, units), du_to_px_y(tpl.height, units));
    for (const ControlTemplate &control : tpl.controls)
        make_control(dialog, control, units);
    return units;
}

} // namespace kestrival::dialogs
