#pragma once

#include <QList>
#include <QPointer>
#include <QString>
#include <QWidget>
#include <map>

namespace pellan::gui {

// The form's controls by their ids. One id may stand for several widgets: line 1's start button
// is both UPDATE on the form and the start button of line 1's panel in the factory view, and the
// two must always show the same.
class ControlMap {
  public:
    void Add(int id, QWidget* widget);
    QList<QWidget*> Widgets(int id) const;
    // The first widget registered for `id` (the form's own when there is one).
    QWidget* First(int id) const;
    template <typename T>
    T* Find(int id) const {
        return qobject_cast<T*>(First(id));
    }

    // Applied to every widget of the id, by its kind: labels, buttons and line edits take text;
    // progress bars take positions and ranges.
    void SetText(int id, const QString& text) const;
    void SetEnabled(int id, bool enabled) const;
    void SetProgress(int id, int position) const;
    void SetProgressRange(int id, int low, int high) const;

  private:
    std::multimap<int, QPointer<QWidget>> m_widgets;
};

}  // namespace pellan::gui
