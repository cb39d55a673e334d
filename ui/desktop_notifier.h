// Notices on the desktop: a message the user sees even while the program's
// window is hidden behind others, with a "View" button that comes back to it.
#pragma once

#include <QString>
#include <functional>

namespace tv {

struct DesktopNotice {
  QString summary;
  QString body;
  std::function<void()> onView;  // the user chose "View"
};

class DesktopNotifier {
 public:
  virtual ~DesktopNotifier() = default;
  // False when the desktop has no notification service to take the notice.
  virtual bool Notify(const DesktopNotice& notice) = 0;
};

// The notifier in use: the desktop's notification service over the session
// bus, unless a test put another in its place.
DesktopNotifier& Notifier();
// nullptr goes back to the desktop's.
void SetNotifier(DesktopNotifier* replacement);

}  // namespace tv
