// The desktop notice as the desktop receives it: a bus of the test's own
// (dbus-daemon) with a notification service on it that records each call
// and answers with the user's choice of "View".
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QProcess>
#include <QTest>

#include "tests/app/qtest_main.h"
#include "ui/desktop_notifier.h"

namespace tv {

namespace {

const QString kService = "org.freedesktop.Notifications";
const QString kPath = "/org/freedesktop/Notifications";

// The parts of the freedesktop notification service a notice uses.
class NotificationService : public QObject {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

 public:
  QStringList summaries, bodies, actions;

 public slots:
  uint Notify(const QString&, uint, const QString&, const QString& summary, const QString& body,
              const QStringList& noticeActions, const QVariantMap&, int) {
    summaries << summary;
    bodies << body;
    actions = noticeActions;
    return static_cast<uint>(summaries.size());
  }
};

}  // namespace

class DesktopNotifierTest : public QObject {
  Q_OBJECT

 private:
  QProcess bus_;

 private slots:
  // The test's bus stands in for the session's before anything uses it.
  void initTestCase() {
    bus_.start("dbus-daemon", {"--session", "--nofork", "--print-address"});
    QVERIFY(bus_.waitForReadyRead(5000));
    qputenv("DBUS_SESSION_BUS_ADDRESS", bus_.readLine().trimmed());
  }
  void cleanupTestCase() {
    bus_.terminate();
    bus_.waitForFinished();
  }

  // Without a notification service the notice is refused (the window then
  // uses its tray); with one it goes out with its texts and a "View" action,
  // and the service's ActionInvoked for it runs the notice's View.
  void noticeGoesToTheServiceAndViewComesBack() {
    int viewed = 0;
    const DesktopNotice notice{"Fax received", "From FAR END, 3 pages", [&viewed] { ++viewed; }};
    QVERIFY(!Notifier().Notify(notice));

    QDBusConnection desktop = QDBusConnection::connectToBus(qgetenv("DBUS_SESSION_BUS_ADDRESS"), "desktop");
    NotificationService service;
    QVERIFY(desktop.registerObject(kPath, &service, QDBusConnection::ExportAllSlots));
    QVERIFY(desktop.registerService(kService));
    QTRY_VERIFY(QDBusConnection::sessionBus().interface()->isServiceRegistered(kService));

    QVERIFY(Notifier().Notify(notice));
    QTRY_COMPARE(service.summaries, QStringList{"Fax received"});
    QCOMPARE(service.bodies, QStringList{"From FAR END, 3 pages"});
    QVERIFY2(service.actions.contains("view") && service.actions.contains("View"), qPrintable(service.actions.join(",")));

    // Another program's notice, then ours.
    for (uint id : {77u, 1u}) {
      QDBusMessage invoked = QDBusMessage::createSignal(kPath, kService, "ActionInvoked");
      invoked << id << QString("view");
      QVERIFY(desktop.send(invoked));
    }
    QTRY_COMPARE(viewed, 1);
    QTest::qWait(100);
    QCOMPARE(viewed, 1);
    desktop.unregisterService(kService);
    QDBusConnection::disconnectFromBus("desktop");
  }
};

TV_REGISTER_QTEST(DesktopNotifierTest)

}  // namespace tv

#include "desktop_notifier_test.moc"
