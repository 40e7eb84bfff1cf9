#include "control_map.h"

#include <QAbstractButton>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>

namespace pellan::gui {

void ControlMap::Add(int id, QWidget* widget) {
    m_widgets.emplace(id, widget);
}

QList<QWidget*> ControlMap::Widgets(int id) const {
    QList<QWidget*> out;
    const auto [begin, end] = m_widgets.equal_range(id);
    for (auto it = begin; it != end; ++it) {
        if (!it->second.isNull()) {
            out.push_back(it->second.data());
        }
    }
    return out;
}

QWidget* ControlMap::First(int id) const {
    const QList<QWidget*> widgets = Widgets(id);
    return widgets.isEmpty() ? nullptr : widgets.front();
}

void ControlMap::SetText(int id, const QString& text) const {
    for (QWidget* widget : Widgets(id)) {
        if (auto* label = qobject_cast<QLabel*>(widget)) {
            label->setText(text);
            label->setToolTip(label->wordWrap() ? QString() : text);
        } else if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
            button->setText(text);
        } else if (auto* edit = qobject_cast<QLineEdit*>(widget)) {
            edit->setText(text);
            edit->setCursorPosition(0);
        }
    }
}

void ControlMap::SetEnabled(int id, bool enabled) const {
    for (QWidget* widget : Widgets(id)) {
        widget->setEnabled(enabled);
    }
}

void ControlMap::SetProgress(int id, int position) const {
    for (QWidget* widget : Widgets(id)) {
        if (auto* bar = qobject_cast<QProgressBar*>(widget)) {
            bar->setValue(position);
        }
    }
}

void ControlMap::SetProgressRange(int id, int low, int high) const {
    for (QWidget* widget : Widgets(id)) {
        if (auto* bar = qobject_cast<QProgressBar*>(widget)) {
            bar->setRange(low, high);
        }
    }
}

}  // namespace pellan::gui
