#include "ui/desktop_notifier.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QObject>
#include <map>

namespace tv {

namespace {

const QString kService = "org.freedesktop.Notifications";
const QString kPath = "/org/freedesktop/Notifications";
const QString kViewKey = "view";
const QString kDefaultKey = "default";  // a click on the notice itself

// The freedesktop notification service: each notice is sent with a "View"
// action, and the service's ActionInvoked signal names the notice chosen.
class FreedesktopNotifier : public QObject, public DesktopNotifier {
  Q_OBJECT

 public:
  FreedesktopNotifier() {
    QDBusConnection bus = QDBusConnection::sessionBus();
    bus.connect(kService, kPath, kService, "ActionInvoked", this, SLOT(ActionInvoked(uint, QString)));
    bus.connect(kService, kPath, kService, "NotificationClosed", this, SLOT(NotificationClosed(uint, uint)));
  }

  bool Notify(const DesktopNotice& notice) override {
    QDBusConnection bus = QDBusConnection::sessionBus();
    QDBusConnectionInterface* names = bus.isConnected() ? bus.interface() : nullptr;
    if (!names || !(names->isServiceRegistered(kService) || names->activatableServiceNames().value().contains(kService))) {
      return false;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kService, "Notify");
    const QVariantMap hints{{"desktop-entry", QString("org.tessivane.Tessivane")},
                            {"category", QString("transfer.complete")}};
    call << QString("Tessivane") << uint(0) << QString("tessivane") << notice.summary << notice.body
         << QStringList{kDefaultKey, "View", kViewKey, "View"} << hints << -1;
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, onView = notice.onView](QDBusPendingCallWatcher* w) {
      const QDBusPendingReply<uint> reply = *w;
      if (!reply.isError()) views_[reply.value()] = onView;
      w->deleteLater();
    });
    return true;
  }

 private slots:
  void ActionInvoked(uint id, const QString& key) {
    const auto found = views_.find(id);
    if (found == views_.end() || (key != kViewKey && key != kDefaultKey)) return;
    const std::function<void()> onView = found->second;
    views_.erase(found);
    if (onView) onView();
  }
  void NotificationClosed(uint id, uint) { views_.erase(id); }

 private:
  std::map<uint, std::function<void()>> views_;
};

DesktopNotifier*& Replacement() {
  static DesktopNotifier* replacement = nullptr;
  return replacement;
}

}  // namespace

DesktopNotifier& Notifier() {
  if (Replacement()) return *Replacement();
  static FreedesktopNotifier* desktop = new FreedesktopNotifier;
  return *desktop;
}

void SetNotifier(DesktopNotifier* replacement) { Replacement() = replacement; }

}  // namespace tv

#include "desktop_notifier.moc"
