#pragma once

#include <functional>
#include <utility>
#include <vector>

namespace pellan::gui {

// The captions of one window in the interface's language. Each entry sets one caption (through
// tr(), so that it is read again from the translator) and runs again when the language changes,
// so that a window switches language without being built again. The entries capture widgets of
// the window that owns this list, which live as long as it does.
class Captions {
  public:
    void Add(std::function<void()> apply) {
        apply();
        m_apply.push_back(std::move(apply));
    }
    void Retranslate() const {
        for (const auto& apply : m_apply) {
            apply();
        }
    }

  private:
    std::vector<std::function<void()>> m_apply;
};

// Marks a label as showing a value (a port, a version, a message of the line) rather than a
// caption: values are in the language their source gave them.
inline constexpr const char* kValueProperty = "pellanValue";

// The two language buttons (and commands): each names its language in that language, whatever
// the interface's language, so that a reader who needs it finds it.
inline constexpr const char* kChineseVersionText = "中文版本";
inline constexpr const char* kEnglishVersionText = "English Version";

}  // namespace pellan::gui
