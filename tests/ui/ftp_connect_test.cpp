// The wizard's FTP connection test against real servers on loopback.
#include <chrono>
#include <memory>
#include <optional>
#include <thread>

#include "ManualClock.h"
#include "UiTestKit.h"
#include "destinations/ObjectSession.h"
#include "destinations/StoreBinding.h"
#include "destinations/StoreMarker.h"
#include "support/CephGateway.h"
#include "support/FtpRelay.h"
#include "support/FtpServer.h"
#include "support/HostileS3.h"
#include "support/Loopback.h"
#include "support/ScopedEnv.h"
#include "support/SshServer.h"
#include "ui/wizard/CDlgConnectFtp.h"
#include "ui/wizard/CDlgConnectObjectStore.h"

namespace fs = std::filesystem;

namespace bvtest {
namespace {

QString Text(const char* key) { return QString::fromStdString(GetText("DIALOG_CONNECT_FTP", key)); }

// The test's worker has ended and the next tick has read its result.
bool Ended(CDlgConnectFtp& dialog, ManualClock& clock) {
  if (!RunUntil([&] { return dialog.WorkerEnded(); }, 30000)) return false;
  clock.Advance(1000);
  return true;
}

}  // namespace

// Success (unencrypted) and failure (with its cause, shown whole) are read at the next tick.
TEST(FtpConnectDialog, SucceedsOrFailsWithItsCauseAtTheNextTick) {
  App();
  FtpServer server;
  if (!server.Ok()) GTEST_SKIP() << server.Reason();
  ManualClock clock;
  CDlgConnectFtp good(server.Settings("tested/"));
  ASSERT_TRUE(RunUntil([&] { return good.WorkerEnded(); }, 30000));
  EXPECT_FALSE(good.Succeeded()) << "the result is read at the tick only";
  clock.Advance(1000);
  EXPECT_EQ(good.Message()->text(),
            Text("MSG_CONNECTION_SUCCESSFUL") + "\n" + Text("MSG_NOT_ENCRYPTED"));
  EXPECT_TRUE(fs::exists(server.NativeOf("/bvuser/tested/Brevanto.dat")));
  // This machine's server keeps the store inside a folder the plan protects: said as well.
  std::string served;
  ASSERT_TRUE(plat::ToSystemPath(server.NativeOf(""), &served));
  CDlgConnectFtp looped(server.Settings("tested/"), nullptr, {served});
  ASSERT_TRUE(Ended(looped, clock));
  const std::string store = server.NativeOf("/bvuser/tested");
  EXPECT_TRUE(looped.Message()->text().endsWith(QString::fromStdString(
      FormatText(GetText("WIZARD_BACKUP_DEST", "SERVER_STORE_INSIDE_SOURCE"), {store}))))
      << looped.Message()->text().toStdString();
  EXPECT_EQ(looped.LoopFolder(), served + "\\bvuser\\tested");
  // A store at or above a protected folder would take it for its own: refused, saying why.
  for (const std::string& held : {std::string("tested"), std::string("tested/inner")}) {
    fs::create_directories(server.NativeOf("/bvuser/" + held));
    std::string source;
    ASSERT_TRUE(plat::ToSystemPath(server.NativeOf("/bvuser/" + held), &source));
    CDlgConnectFtp holds(server.Settings("tested/"), nullptr, {source});
    ASSERT_TRUE(Ended(holds, clock));
    EXPECT_FALSE(holds.Succeeded()) << held;
    EXPECT_EQ(holds.Message()->text().toStdString(),
              FormatText(GetText("WIZARD_BACKUP_DEST", "SERVER_STORE_HOLDS_SOURCES"),
                         {store, server.NativeOf("/bvuser/" + held)}));
  }

  // A server that cannot make files private: files only the user can read will not go there.
  ASSERT_TRUE(server.RefuseModes());
  CDlgConnectFtp open(server.Settings("tested/"));
  ASSERT_TRUE(Ended(open, clock));
  EXPECT_EQ(open.Message()->text().toStdString(),
            (Text("MSG_CONNECTION_SUCCESSFUL") + "\n" + Text("MSG_NOT_ENCRYPTED") + "\n\n" +
             Text("MSG_PRIVATE_NOT_SENT"))
                .toStdString());

  FtpSettings wrong = server.Settings("tested/");
  wrong.password = "not it";
  CDlgConnectFtp bad(wrong);
  bad.show();
  ASSERT_TRUE(Ended(bad, clock));
  EXPECT_EQ(bad.Message()->text(),
            Text("MSG_CONNECTION_FAIL") + "\n" +
                QString::fromStdString(GetText("SERVER_REFUSED", "CAUSE_LOGIN")));
  QApplication::processEvents();
  QLabel* text = bad.Message();
  EXPECT_GE(text->height(), text->heightForWidth(text->width())) << "the text is cut off";
  EXPECT_LE(text->geometry().right(), bad.width());
  clock.Advance(5000);
  EXPECT_EQ(bad.Ticks(), 0) << "the timer stopped";
}

// The probe passes or names the failing step and why; a bucket keeping versions itself is said.
TEST(ObjectConnectDialog, PassesOrNamesTheFailingStepAndItsCause) {
  App();
  CephGateway gw;
  ASSERT_TRUE(gw.Ok()) << gw.Reason();
  ASSERT_TRUE(gw.MakeBucket("probed"));
  ASSERT_TRUE(gw.MakeBucket("kept"));
  ASSERT_EQ(
      gw.Request("PUT", "/kept?versioning=",
                 "<VersioningConfiguration><Status>Enabled</Status></VersioningConfiguration>"),
      200);
  // Keys the gateway knows, but its policy lets them write nothing.
  ASSERT_TRUE(gw.MakeBucket("policed"));
  const long put = gw.Request(
      "PUT", "/policed?policy=",
      R"({"Version":"2012-10-17","Statement":[{"Effect":"Deny","Principal":{"AWS":["*"]},)"
      R"("Action":"s3:PutObject","Resource":"arn:aws:s3:::policed/*"}]})");
  ASSERT_TRUE(put == 200 || put == 204) << put;
  const ObjectStoreSettings good = gw.Settings("probed", "team/");
  ObjectStoreSettings wrongKey = good, noBucket = good, away = good, versioned = good,
                      denied = good;
  versioned.bucket = "kept";
  denied.bucket = "policed";
  wrongKey.secretKey = "not the secret";
  noBucket.bucket = "never-made";
  away.endpoint = "http://127.0.0.1:1";
  auto words = [](const char* step, const char* cause) {
    return GetText("DIALOG_CONNECT_OBJECT_STORE", step) + " " +
           GetText("OBJECT_STORE_REFUSED", cause);
  };
  const struct {
    ObjectStoreSettings settings;
    std::string said;
  } rows[] = {
      {good, GetText("DIALOG_CONNECT_OBJECT_STORE", "MSG_SUCCESS")},
      {versioned, GetText("DIALOG_CONNECT_OBJECT_STORE", "MSG_SUCCESS") + " " +
                      FormatText(GetText("STORE", "BUCKET_KEEPS_VERSIONS"), {"s3://kept/team/"})},
      {wrongKey, words("STEP_REACH", "KEYS")},
      {denied, words("STEP_WRITE", "DENIED")},
      {noBucket, words("STEP_REACH", "NO_BUCKET")},
      {away, words("STEP_REACH", "UNREACHABLE")}};
  for (const auto& row : rows) {
    CDlgConnectObjectStore dialog(row.settings);
    dialog.show();
    ASSERT_TRUE(RunUntil([&] { return dialog.Finished(); }, 30000));
    EXPECT_EQ(dialog.Message()->text().toStdString(), row.said);
  }
  EXPECT_TRUE(gw.Keys("probed", "").empty()) << "the probe is gone";

  // An earlier plan's store is continued on the user's word alone; others are refused in words
  // naming the store found, nothing written; the box shows its words whole.
  TempDir data;
  ScopedEnv dataDir("BREVANTO_DATA_DIR", data.Native());
  ASSERT_TRUE(gw.MakeBucket("earlier"));
  const std::string id = NewStoreId(), living = NewStoreId();
  for (const auto& [folder, marker] :
       {std::pair{"mine", StoreMarkerText(id, {}, InstallationId())},
        std::pair{"theirs", StoreMarkerText(NewStoreId(), {}, NewStoreId())},
        std::pair{"living", StoreMarkerText(living, {}, InstallationId())},
        std::pair{"over", StoreMarkerText(NewStoreId(), {}, InstallationId())},
        std::pair{"over/sub", StoreMarkerText(NewStoreId(), {}, NewStoreId())},
        std::pair{"theirs/deep", StoreMarkerText(NewStoreId(), {}, InstallationId())},
        std::pair{"junk", std::string("junk")}})
    ASSERT_EQ(gw.Request("PUT", "/earlier/" + std::string(folder) + "/Brevanto.dat", marker), 200);
  ASSERT_EQ(gw.Request("PUT", "/earlier/lost/Latest/C/x.txt", "x"), 200);
  data.Write("PLAN/7/Plan.ini", "");
  ASSERT_TRUE(WriteStoreRecord(data.SystemOf("PLAN/7") + "\\",
                               {living, "/living/", kStorageObject, "", "", "", InstallationId()}));
  const std::string success = GetText("DIALOG_CONNECT_OBJECT_STORE", "MSG_SUCCESS");
  auto found = [&](const char* choice) {
    return success + "\n\n" + GetText("DIALOG_CONNECT_OBJECT_STORE", "MSG_EARLIER_STORE") + "\n\n" +
           GetText("DIALOG_CONNECT_OBJECT_STORE", choice);
  };
  auto held = [](const char* key, const char* place) {
    return FormatText(GetText("DIALOG_CONNECT_OBJECT_STORE", key), {place});
  };
  const struct {
    const char* prefix;
    bool asked, answer;
    std::string said, continued;
    bool refused;
  } choices[] = {
      {"mine/", true, true, found("MSG_STORE_CONTINUED"), id, false},
      {"mine/", true, false, found("MSG_CHOOSE_OTHER_FOLDER"), "", true},
      {"theirs/", false, true, held("FOUND_OTHER_INSTALLATION", "s3://earlier/theirs/"), "", true},
      {"living/", false, true, held("FOUND_OTHER_PLAN", "s3://earlier/living/"), "", true},
      {"over/", false, true, held("CANNOT_STORE_BELOW", "s3://earlier/over/sub/"), "", true},
      {"theirs/deep/", false, true, held("CANNOT_INSIDE_STORE", "s3://earlier/theirs/"), "", true},
      {"theirs/new/", false, true, held("CANNOT_INSIDE_STORE", "s3://earlier/theirs/"), "", true},
      {"junk/", false, true, held("CANNOT_NOT_A_MARKER", "s3://earlier/junk/"), "", true},
      {"junk/in/", false, true, held("CANNOT_NOT_A_MARKER_ABOVE", "s3://earlier/junk/"), "", true},
      {"lost/", false, true, held("CANNOT_UNMARKED_COPIES", "s3://earlier/lost/"), "", true},
      {"lost/in/", false, true, held("CANNOT_COPIES_ABOVE", "s3://earlier/lost/"), "", true}};
  for (const auto& row : choices) {
    CDlgConnectObjectStore dialog(gw.Settings("earlier", row.prefix));
    bool asked = false;
    dialog.SetContinueQuestion([&](const QString&) { return asked = true, row.answer; });
    dialog.show();
    ASSERT_TRUE(RunUntil([&] { return dialog.Finished(); }, 30000));
    EXPECT_EQ(asked, row.asked) << row.prefix;
    EXPECT_EQ(dialog.Message()->text().toStdString(), row.said);
    EXPECT_EQ(dialog.ContinuedStore(), row.continued);
    EXPECT_EQ(dialog.Refused(), row.refused) << row.prefix;
    QApplication::processEvents();
    const QLabel* box = dialog.Message();
    EXPECT_GE(box->height(), box->heightForWidth(box->width())) << "clipped: " << row.prefix;
    EXPECT_TRUE(dialog.rect().contains(box->geometry())) << row.prefix;
  }
  // Another installation's store, or a marker unreadable now, gets no test object at all.
  const struct {
    HostileS3::Manner manner;
    std::string said;
  } hostile[] = {{HostileS3::kHonest, held("FOUND_OTHER_INSTALLATION", "s3://hostile/theirs/")},
                 {HostileS3::kMarker500, held("FOUND_UNCHECKED", "s3://hostile/theirs/")}};
  for (const auto& row : hostile) {
    HostileS3 s3(row.manner);
    ObjectSession planted;
    planted.SetOptions(s3.Settings("theirs/"));
    ASSERT_TRUE(
        planted.PutText("theirs/Brevanto.dat", StoreMarkerText(NewStoreId(), {}, NewStoreId()))
            .Ok());
    CDlgConnectObjectStore dialog(s3.Settings("theirs/"));
    ASSERT_TRUE(RunUntil([&] { return dialog.Finished(); }, 30000));
    EXPECT_EQ(dialog.Message()->text().toStdString(), row.said);
    EXPECT_FALSE(dialog.Succeeded());
    int puts = 0;
    for (const std::string& line : s3.Lines()) puts += line.rfind("PUT", 0) == 0;
    EXPECT_EQ(puts, 1) << "only the planted marker";
  }
}

// An unvouched certificate's key is offered (as changed when another is pinned); declined, none.
TEST(ObjectConnectDialog, OffersTheKeyOfAnUnvouchedCertificate) {
  App();
  CephGateway tls(0, true);
  ASSERT_TRUE(tls.Ok()) << tls.Reason();
  ASSERT_TRUE(tls.MakeBucket("sealed"));
  ObjectStoreSettings s = tls.Settings("sealed", "team/");
  auto text = [](const char* key) {
    return QString::fromStdString(GetText("DIALOG_CONNECT_OBJECT_STORE", key));
  };
  const struct {
    std::string pinned;
    const char* said;
    bool trust;
  } rows[] = {
      {"", "MSG_CERT_UNTRUSTED", true},
      {"sha256//47DEQpj8HBSa+/TImW+5JCeuQeRkm5NMpJWZG3hSuFU=", "MSG_CERT_KEY_CHANGED", true},
      {"", "MSG_CERT_UNTRUSTED", false}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.said);
    s.pinnedKey = row.pinned;
    CDlgConnectObjectStore dialog(s);
    QString asked;
    dialog.SetTrustQuestion([&](const QString& question) { return asked = question, row.trust; });
    dialog.show();
    ASSERT_TRUE(RunUntil([&] { return !asked.isEmpty(); }, 30000));
    EXPECT_TRUE(asked.contains(text(row.said))) << asked.toStdString();
    EXPECT_TRUE(asked.contains(QString::fromStdString(tls.PinnedKey()))) << asked.toStdString();
    ASSERT_TRUE(RunUntil([&] { return dialog.Finished(); }, 30000));
    EXPECT_EQ(dialog.Succeeded(), row.trust);
    EXPECT_EQ(dialog.AcceptedKey(), row.trust ? tls.PinnedKey() : "");
    if (row.trust) {
      EXPECT_EQ(dialog.Message()->text(), text("MSG_SUCCESS"));
    }
  }
  EXPECT_TRUE(tls.Keys("sealed", "").empty()) << "the probe is gone";
}

// An unvouched server key (TLS, SSH) is shown before any login, then pinned; so is a new one.
TEST(FtpConnectDialog, ShowsTheKeyOfAnUnvouchedServerAndRefusesANewOne) {
  App();
  ManualClock clock;
  FtpServer tls(/*tls=*/true);
  SshServer ssh;
  for (const bool overSsh : {false, true}) {
    SCOPED_TRACE(overSsh ? "SFTP" : "FTP over TLS");
    if (!(overSsh ? ssh.Ok() : tls.Ok())) GTEST_SKIP() << (overSsh ? ssh.Reason() : tls.Reason());
    std::optional<ScopedEnv> home;
    FtpSettings unknown = overSsh ? ssh.Settings("keys/") : tls.Settings("keys/");
    if (overSsh) {
      home.emplace("HOME", ssh.ClientHome());
      unknown.pinnedKey.clear();
      unknown.port = 21;  // the FTP tab's port, left standing
      unknown.server += ":" + std::to_string(ssh.Port());
    }
    CDlgConnectFtp dialog(unknown);
    QString asked;
    dialog.SetTrustQuestion([&](const QString& question) { return asked = question, true; });
    ASSERT_TRUE(Ended(dialog, clock));
    const QString key = QString::fromStdString(dialog.AcceptedKey());
    if (overSsh) {
      EXPECT_EQ(ssh.Logins(), 0);
      EXPECT_EQ(dialog.AcceptedKey(), ssh.Fingerprint());
    } else {
      EXPECT_EQ(dialog.AcceptedKey().rfind("sha256//", 0), 0u);
    }
    EXPECT_TRUE(asked.startsWith(Text(overSsh ? "MSG_SSH_UNTRUSTED" : "MSG_TLS_UNTRUSTED")));
    EXPECT_TRUE(asked.contains(key)) << asked.toStdString();
    ASSERT_TRUE(Ended(dialog, clock));
    EXPECT_TRUE(dialog.Succeeded());
    EXPECT_EQ(dialog.Message()->text(),
              Text("MSG_CONNECTION_SUCCESSFUL") + "\n" + Text("MSG_ENCRYPTED"));
    EXPECT_TRUE(fs::exists(overSsh ? ssh.Home() + "/keys/Brevanto.dat"
                                   : tls.NativeOf("/bvuser/keys/Brevanto.dat")));

    ASSERT_TRUE(overSsh ? ssh.ChangeHostKey() : tls.ChangeCertificate());
    unknown.pinnedKey = dialog.AcceptedKey();
    CDlgConnectFtp changed(unknown);
    QString offered;  // the new key, offered for trust
    changed.SetTrustQuestion([&](const QString& question) { return offered = question, true; });
    ASSERT_TRUE(Ended(changed, clock));
    EXPECT_TRUE(offered.startsWith(Text(overSsh ? "MSG_SSH_KEY_CHANGED" : "MSG_TLS_KEY_CHANGED")));
    EXPECT_NE(changed.AcceptedKey(), dialog.AcceptedKey());
    EXPECT_TRUE(offered.contains(QString::fromStdString(changed.AcceptedKey())));
    ASSERT_TRUE(Ended(changed, clock));
    EXPECT_TRUE(changed.Succeeded());
  }
}

// Cancel asks first; an abandoned worker ends on its own; an unconfirmed test file gets a minute.
TEST(FtpConnectDialog, AnAbandonedTestEndsOnItsOwn) {
  App();
  ManualClock clock;
  uint16_t port = 0;
  const int mute = ListenLoopback(&port);  // takes connections and never says a word
  ASSERT_GE(mute, 0);
  FtpSettings silent;
  silent.server = "127.0.0.1";
  silent.port = port;
  silent.user = "u";
  silent.timeout = 1;
  auto dialog = std::make_unique<CDlgConnectFtp>(silent);
  int asked = 0;
  bool answer = false;
  dialog->SetCancelQuestion([&] { return ++asked, answer; });
  dialog->Button()->click();  // "no": the test goes on
  EXPECT_EQ(asked, 1);
  EXPECT_EQ(dialog->result(), 0);
  clock.Advance(3000);
  EXPECT_EQ(dialog->Ticks(), 3);
  answer = true;
  dialog->Button()->click();
  EXPECT_EQ(dialog->result(), QDialog::Rejected);
  clock.Advance(5000);
  EXPECT_EQ(dialog->Ticks(), 3) << "an abandoned test counts no more ticks";
  std::weak_ptr<CDlgConnectFtp::State> worker = dialog->Watch();
  dialog.reset();
  EXPECT_TRUE(RunUntil([&] { return worker.expired(); }, 30000)) << "the worker never ended";
  // A longer time-out is waited for beyond 21 ticks; what ends the wait is said with its cause.
  silent.timeout = 60;
  CDlgConnectFtp patient(silent);
  clock.Advance(30000);
  EXPECT_EQ(patient.Message()->text(), Text("MSG_CONNECTING"));
  // Two logins of up to eight replies of 10 s each: waited for as long.
  silent.timeout = 10;
  silent.retryCount = 1;
  CDlgConnectFtp twoLogins(silent);
  clock.Advance(150000);
  EXPECT_EQ(twoLogins.Message()->text(), Text("MSG_CONNECTING"));
  close(mute);
  ASSERT_TRUE(Ended(patient, clock));
  EXPECT_TRUE(patient.Message()->text().startsWith(Text("MSG_CONNECTION_FAIL") + "\n"))
      << patient.Message()->text().toStdString();

  FtpServer server;
  if (!server.Ok()) GTEST_SKIP() << server.Reason();
  FtpRelay relay(server.Port());
  relay.SetFault(FtpRelay::Fault::kNoConfirm);
  FtpSettings unconfirmed = server.Settings("unconfirmed/");
  unconfirmed.port = relay.Port();
  unconfirmed.timeout = 10;
  auto waiting = std::make_unique<CDlgConnectFtp>(unconfirmed);
  const std::string folder = server.NativeOf("/bvuser/unconfirmed");
  ASSERT_TRUE(RunUntil(
      [&] {
        std::error_code error;
        for (const auto& e : fs::directory_iterator(folder, error))
          if (e.path().filename().string().rfind(".~bvtmp-", 0) == 0) return true;
        return false;
      },
      30000))
      << "the test file was never sent";
  clock.Advance(59000);
  EXPECT_EQ(waiting->Message()->text(), Text("MSG_CONNECTING"));
  clock.Advance(1000);
  EXPECT_EQ(waiting->Message()->text().toStdString(),
            FormatText(GetText("DIALOG_CONNECT_FTP", "MSG_TEST_FILE_UNCONFIRMED"), {"60"}));
  std::weak_ptr<CDlgConnectFtp::State> stopped = waiting->Watch();
  waiting.reset();
  EXPECT_TRUE(RunUntil([&] { return stopped.expired(); }, 5000)) << "it goes on";
  // A slow but working server (10 KB/s: it confirms the test file after about 25 s) passes.
  ASSERT_TRUE(server.LimitBandwidth(10));
  CDlgConnectFtp slow(server.Settings("slow/"));
  const auto began = std::chrono::steady_clock::now();
  for (int second = 0; second < 90 && !slow.WorkerEnded(); ++second) {
    std::this_thread::sleep_for(std::chrono::seconds(1));
    clock.Advance(1000);
  }
  clock.Advance(1000);
  EXPECT_TRUE(slow.Succeeded()) << slow.Message()->text().toStdString() << " after "
                                << std::chrono::duration_cast<std::chrono::seconds>(
                                       std::chrono::steady_clock::now() - began)
                                       .count()
                                << " s";
}

}  // namespace bvtest
