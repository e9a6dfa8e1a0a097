// FtpSession: one connection to a file server, FTP or SFTP (SSH), carried by
// libcurl and kept open between requests (a backup of many files logs in
// once). Every request names absolute server paths ("/a/b/c.txt") and is
// bounded by its own wait. The FTP destination and the restore's FTP branch
// both talk to the server through it. Not thread-safe: its user serialises
// the requests.
#pragma once
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "platform/files/FileId.h"

namespace plat {
class File;
struct CopyWatch;
}  // namespace plat

struct FtpSessionOptions {
  std::string server;  // host name or address
  uint16_t port = 0;   // 0: the standard FTP port
  std::string user;
  std::string password;
  bool passive = true;     // false: active mode (the server connects back)
  std::string proxy;       // proxy host; empty for none
  uint16_t proxyPort = 0;  // 0: no proxy
  // Longest wait for a reply or for the next byte of a transfer (whole
  // seconds; at least one).
  long replyWaitMs = 3000;
  // An upload's longest time without a byte taken in by the server: a slow
  // server may take its data in bursts and rest between them (no less than
  // replyWaitMs).
  long stallWaitMs = 180000;
  // The server's public key as "sha256//BASE64", accepted in place of a
  // certificate that no system authority vouches for; empty: the system
  // authorities decide.
  // SFTP: the host key's fingerprint as "SHA256:BASE64" (the form ssh-keygen
  // shows); a server whose key is not this one is refused, and so is every
  // server while it is empty.
  std::string pinnedKey;
  bool sftp = false;  // SSH file transfer instead of FTP
  // FTP: the login and every transfer are encrypted (explicit TLS) or the
  // connection fails before the user name is sent; false: FTP in clear.
  bool requireTls = true;
  std::string keyFile;  // SFTP: a private key (native path) offered before the password
};

// Why the encryption of the last connection failed (the certificate of an
// FTPS server, the host key of an SFTP server).
enum class FtpTlsFault {
  kNone,
  kUntrusted,   // no authority vouches for the certificate and no key is pinned
  kKeyChanged,  // the server's key is not the pinned one
  kNotOffered,  // encryption is required and the server refused to start it
};

// Why the last request could not reach or log in to the server.
enum class FtpFailure {
  kNone,
  kTimeout,     // no answer within the wait
  kConnect,     // the connection was refused or the host cannot be reached
  kResolve,     // the server's name is not known
  kLogin,       // the user name or password was refused
  kEncryption,  // the encryption failed (key, certificate, refused TLS)
  kOther,
};

// One entry of a server folder.
struct FtpEntry {
  std::string name;
  uint64_t size = 0;
  int64_t writeTime = 0;  // seconds since 1970 UTC, 0 when unknown
  bool folder = false;
  int32_t mode = -1;  // permission bits where the server tells them, else -1
};

class FtpSession {
 public:
  // How a request ended: done; refused by the server (it answered, the
  // connection stands); or the connection dropped or the wait ran out (the
  // connection is closed then, so the next request logs in anew).
  enum Outcome { kDone, kRefused, kLost };

  FtpSession();
  ~FtpSession();
  FtpSession(const FtpSession&) = delete;
  FtpSession& operator=(const FtpSession&) = delete;

  void SetOptions(const FtpSessionOptions& options) { options_ = options; }
  // The proxy as the client is told to use it: "ftp=ftp://" + host + ":" +
  // port, or empty when the proxy host is empty or its port is 0.
  std::string ProxyText() const;

  // Whether a private file (no read bit for group or others) is refused on a
  // server that refuses to set a copy's bits (true), or sent all the same, as
  // readable as that server makes files (the store's marker: its refusal is
  // what the plan says).
  void SetHoldsPrivateFiles(bool hold) { holdsPrivateFiles_ = hold; }
  // Whether the server refused (or said yes to and ignored) a change of a
  // copy's mode on this connection.
  bool ModesRefused() const { return modesRefused_; }
  // The server keeps modes after all (asked again): private files go again.
  void ForgetModesRefused() { modesRefused_ = modesChecked_ = false; }

  // Makes the client handle; false when the library cannot give one.
  bool Open();
  bool IsOpen() const { return handle_ != nullptr; }
  // Drops the connection (the handle stays).
  void Disconnect();
  // Drops the connection and the handle.
  void Close();

  // Connects and logs in; FTP asks for explicit encryption (AUTH TLS) first
  // unless requireTls is off, and goes no further when the server refuses it.
  Outcome Login(long waitMs);
  // After a Login: whether the control connection is encrypted.
  bool Encrypted() const { return encrypted_; }
  // After any request: why its encryption failed.
  FtpTlsFault TlsFault() const { return tlsFault_; }
  // After any request: why it failed to reach the server or log in.
  FtpFailure Failure() const { return failure_; }
  // Connects once without checking the certificate and gives the server's
  // public key as "sha256//BASE64" (SFTP: the host key's fingerprint as
  // "SHA256:BASE64", learnt before any password is sent); empty when the
  // server offers no encryption or cannot be reached.
  std::string ProbeKey(long waitMs);
  // Sends commands of the protocol in turn ("MKD /a", SFTP "mkdir \"/a\""),
  // each made by CommandOf; a command with a leading "*" may fail. kDone when
  // every other command succeeded. A line holding CR, LF or NUL is refused
  // whole before anything is sent.
  Outcome Commands(const std::vector<std::string>& commands, long waitMs);
  // FTP: sends one command line (made by CommandOf) that the server may
  // refuse without the connection being dropped; *refused: it answered 4xx
  // or 5xx.
  Outcome Ask(const std::string& line, long waitMs, bool* refused);
  // The one builder of a command line from server paths: verb, then each
  // path (SFTP: quoted). False for a path holding CR, LF or NUL: such a path
  // would end the line early and start a command of its own (or cut it).
  bool CommandOf(std::string_view verb, std::initializer_list<std::string_view> paths,
                 std::string* line) const;
  // The same requests in either protocol. MakeFolders makes each folder in
  // turn, an existing one being no failure.
  Outcome MakeFolders(const std::vector<std::string>& folders, long waitMs);
  Outcome Delete(std::string_view path, long waitMs);
  // SITE CHMOD (SFTP chmod) of a file there; a server that refuses it fails.
  Outcome SetMode(std::string_view path, uint32_t mode, long waitMs);
  // Fails when the target exists (FTP: as the server does).
  Outcome Rename(std::string_view from, std::string_view to, long waitMs);
  // Whether a folder exists and can be entered.
  Outcome CheckFolder(std::string_view folder, long waitMs);
  // The last write of a file, seconds since 1970 UTC (FTP: MDTM).
  Outcome FileTime(std::string_view path, long waitMs, int64_t* time);
  // Size and last write of a file (FTP: SIZE and MDTM; SFTP: stat); *time 0
  // when the server does not say. kRefused when there is no such file.
  Outcome Stat(std::string_view path, long waitMs, uint64_t* size, int64_t* time);
  // FTP: the facts the server's MLST gives about a path ("type=file;...;
  // unique=...;"), without the path. kRefused for SFTP, and where the server
  // knows no MLST or no such path.
  Outcome Facts(std::string_view path, long waitMs, std::string* facts);
  // Whether a file of this exact path exists (asks for its size).
  Outcome Exists(std::string_view path, long waitMs);
  // Uploads a local file (system path) under a temporary name in the
  // target's folder and renames it to the target once it is whole (FTP: the
  // server's SIZE of it, or its listing where SIZE is unknown, is the local
  // size; SFTP: every write acknowledged), so a failed or short upload never
  // leaves a file under the final name. A server that refuses to rename onto
  // an existing file gets it deleted first. A name with blanks at either end
  // or control characters is looked up in its folder afterwards: a server
  // that stored it under another name fails it (plat::kErrNameChanged, what
  // it stored is deleted unless it was there before). *error: 0, or the error
  // number that says why (plat::kErrNameNotCarried: the name holds CR, LF or
  // NUL, nothing was sent; plat::kErrNotKeptPrivate: others may not read
  // the file and the server refuses to set a copy's bits, nothing of it was
  // sent; 1223: the calling thread was told to stop; 112:
  // the server's disk is full; 5: the server refused to write; 29: the server
  // failed to write or its size differs; 1460: no answer in time; 30: the
  // local file could not be read; 59: the connection failed).
  // With watch: the open local file is looked at before its first byte is
  // read and after its last; a file written meanwhile takes no final name
  // (kRefused, *error plat::kErrSourceChanged).
  // beforeReplace (when set) runs once the copy is whole under its temporary
  // name, just before it takes the target's name; never after a failure.
  Outcome Upload(std::string_view local, std::string_view remote, long waitMs, uint32_t* error,
                 plat::CopyWatch* watch = nullptr, const std::function<void()>& beforeReplace = {});
  // Downloads a file, handing each piece to sink, which returns 0 or an error
  // number that stops the download. *error: 0, or why it failed: the sink's
  // error, 2 (not on the server), 5 (refused), 64 (the connection dropped),
  // 1460 (no answer in time), 1223 (the calling thread was told to stop),
  // 1225 (no connection), 59 (any other failure of the server). *writeTime:
  // the server's last write of the file, -1 when it does not say.
  Outcome Download(std::string_view remote,
                   const std::function<uint32_t(const char*, size_t)>& sink, long waitMs,
                   uint32_t* error, int64_t* writeTime);
  // Lists a folder (machine listing; where the server lacks it, the long
  // listing of a Unix server, else names only).
  // Entries that cannot be names in a folder (".", "..", names holding "/",
  // empty or overlong names) and unreadable lines are left out.
  Outcome List(std::string_view folder, long waitMs, std::vector<FtpEntry>* entries);
  // List, and where it shows a file without its mode (FTP), the long
  // listing when it reads as a Unix server's: the modes from its first column.
  Outcome ListWithModes(std::string_view folder, long waitMs, std::vector<FtpEntry>* entries);
  // The names of a folder's entries only (FTP: NLST, which costs the server
  // no look at each entry, unlike MLSD), whether file or folder unknown;
  // names that cannot be entries are left out as by List.
  Outcome ListNames(std::string_view folder, long waitMs, std::vector<std::string>* names);

  // The reply a server gave on the control connection as the library closed
  // it after a failed send (a full server stops reading, then says why):
  // looked for only while an upload runs, on the socket to controlPort.
  struct LostReply {
    int controlPort = 0;  // 0: not looked for
    std::string line;
  };

 private:
  // Resets the handle to the common options for a request on url.
  void Prepare(const std::string& url, long waitMs);
  // Prepares an upload to temporary that reads source (an UploadSource of the
  // session's own file); the handle.
  void* PrepareUpload(const std::string& temporary, void* source, long waitMs);
  Outcome Perform();
  // Runs the prepared request to its end; the library's result code.
  int Run();
  std::string UrlOf(std::string_view path, bool folder) const;
  // A path as one argument of an SFTP command (quoted, quotes escaped).
  static std::string SftpArgument(std::string_view path);
  // Sends the open source (an UploadSource) to temporary; with rename (its
  // command lines), renames it to the target in the same request. *renamed:
  // whether it took the target's name; *refused: the server refused that.
  Outcome Send(void* source, const std::string& temporary, const std::vector<std::string>& rename,
               long waitMs, uint32_t* error, bool* renamed, bool* refused);
  // Moves a whole temporary file to its target, deleting the target first
  // when the server refuses to replace it (refused: it did already), and
  // sends the attribute commands after the rename in the same request.
  Outcome PutInPlace(const std::string& temporary, std::string_view remote, long waitMs,
                     bool refused, const std::vector<std::string>& attributes);
  // The commands that give a server file its permission bits and last write
  // (FTP: SITE CHMOD, then MFMT or SITE UTIME; SFTP: chmod, mtime), each
  // allowed to fail; empty for a path no command can carry.
  std::vector<std::string> AttributeCommands(std::string_view remote, uint32_t mode,
                                             int64_t writeTime) const;
  // FTP: makes temporary as an empty file with these permission bits, so
  // that no byte sent after it is readable by more users; true when it was
  // made so. A server that refuses the bits: the file is deleted again, and
  // modesRefused_ (no file is made so any more on the connection). False for
  // SFTP, whose new files are private anyway.
  bool MakePrivate(const std::string& temporary, uint32_t mode, long waitMs);
  // Whether the folder's listing shows the copy name with no more access than
  // mode (a listing that shows no modes: true). Asked once per connection
  // (modesChecked_); a copy shown more readable sets modesRefused_.
  bool ModesKept(const std::string& folder, std::string_view name, uint32_t mode, long waitMs);
  // FTP: the long listing (LIST); *plain: each line read as a Unix
  // server's, and then only are the entries added.
  Outcome LongList(std::string_view folder, long waitMs, std::vector<FtpEntry>* entries,
                   bool* plain);
  // The size the server's listing gives for path (servers without SIZE).
  Outcome ListedSize(std::string_view path, long waitMs, uint64_t* size);
  // Whether folder lists name exactly after a rename; otherwise deletes what
  // appeared since before (the name the server made) and says kRefused.
  Outcome Landed(std::string_view folder, std::string_view name,
                 const std::vector<FtpEntry>& before, long waitMs);

  FtpSessionOptions options_;
  bool encrypted_ = false;
  bool sizeUnknown_ = false;         // the server answers no SIZE: sizes come from listings
  bool timeCommandUnknown_ = false;  // the server answers no MFMT: SITE UTIME instead
  bool modesRefused_ = false;        // the server refused SITE CHMOD on this connection
  bool modesChecked_ = false;        // a private copy's mode was looked at on this connection
  bool holdsPrivateFiles_ = true;    // see SetHoldsPrivateFiles
  bool unsendable_ = false;          // the prepared request's path holds CR, LF or NUL
  long lastReply_ = 0;               // the server's last reply code of an upload's request
  LostReply lostReply_;              // see LostReply
  FtpTlsFault tlsFault_ = FtpTlsFault::kNone;
  FtpFailure failure_ = FtpFailure::kNone;
  void* handle_ = nullptr;  // CURL*
  void* multi_ = nullptr;   // CURLM*, holding the open connection
};

// Whether this process is uploading to that temporary path on that server
// right now (the sweep of leftovers passes such a file by).
bool IsUploadInFlight(const FtpSessionOptions& server, std::string_view path);

// Parses one line of a machine listing ("type=file;size=3;modify=...; name").
// False for a line that holds no usable entry.
bool ParseMlsdLine(std::string_view line, FtpEntry* out);
// Parses the "unique" fact of a server's MLST facts ("...;unique=803g2a1d;"):
// two hexadecimal numbers, the device and the inode, around one separator.
bool IdentityOfFacts(std::string_view facts, plat::FileId* identity);
// Parses one line of a long listing ("-rw-r--r-- 1 ann ann 12 Dec  7 04:03
// a b.txt", as SFTP servers give it); now (seconds since 1970) places a date
// without its year. The time is the server's local time read as this
// machine's, to the minute. False for links and lines that hold no usable
// entry.
bool ParseLongListLine(std::string_view line, int64_t now, FtpEntry* out);
// A name that may stand for an entry of a folder.
bool IsPlainEntryName(std::string_view name);
