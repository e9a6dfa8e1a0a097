// Windows error numbers as the program reports them, mapped from errno.
#pragma once
#include <cstdint>
#include <string>

namespace plat {

enum : uint32_t {
  kErrSuccess = 0,
  kErrFileNotFound = 2,
  kErrPathNotFound = 3,
  kErrTooManyOpenFiles = 4,
  kErrAccessDenied = 5,
  kErrInvalidHandle = 6,
  kErrNotEnoughMemory = 8,
  kErrNotSameDevice = 17,
  kErrNoMoreFiles = 18,
  kErrWriteProtect = 19,  // a read-only file system
  kErrNotReady = 21,
  kErrCrc = 23,
  kErrSeek = 25,
  kErrWriteFault = 29,
  kErrReadFault = 30,
  kErrGenFailure = 31,
  kErrSharingViolation = 32,
  kErrLockViolation = 33,
  kErrHandleEof = 38,
  kErrNotSupported = 50,
  kErrBadNetPath = 53,
  kErrNetworkBusy = 54,
  kErrUnexpNetErr = 59,
  kErrNetNameDeleted = 64,
  kErrBadNetName = 67,
  kErrFileExists = 80,
  kErrCannotMake = 82,
  kErrInvalidParameter = 87,
  kErrBrokenPipe = 109,
  kErrOpenFailed = 110,
  kErrDiskFull = 112,
  kErrInsufficientBuffer = 122,
  kErrInvalidName = 123,
  kErrDirNotEmpty = 145,
  kErrBusy = 170,
  kErrAlreadyExists = 183,
  kErrFilenameExcedRange = 206,
  kErrFileTooLarge = 223,
  kErrNoMoreItems = 259,
  kErrDirectory = 267,
  kErrStoppedOnLink = 681,        // a link where a store folder or file was expected
  kErrUnrecognizedVolume = 1005,  // nothing this user can read names the volume
  kErrNoMediaInDrive = 1112,
  kErrIoDevice = 1117,
  kErrTooManyLinks = 1142,
  kErrDeviceNotConnected = 1167,
  kErrCancelled = 1223,  // a copy stopped because its thread was told to stop
  kErrConnectionRefused = 1225,
  kErrTimeout = 1460,
  kErrFileCorrupt = 1392,  // the file system reports damage
  kErrNoSystemResources = 1450,
  kErrCantResolveFilename = 1921,  // too many levels of symbolic links
  // Our own (the customer bit): the source was written while it was copied.
  kErrSourceChanged = 0x20000001,
  // A server copy refused before anything was sent: the name holds CR, LF or
  // NUL, which a command of the protocol cannot carry.
  kErrNameNotCarried = 0x20000002,
  // The server stored the file under a name other than the one it was sent.
  kErrNameChanged = 0x20000003,
  // A server copy refused before anything was sent: its name on the server
  // would be longer than the server takes (an object key over 1,024 bytes).
  kErrNameTooLong = 0x20000004,
  // A server copy refused before anything was sent: the file is private here
  // (no read for group or others) and the server refused to keep a copy so.
  kErrNotKeptPrivate = 0x20000005,
  // A folder of the backup store on the way to a copy belongs to another
  // user (who could read or replace what is written in it): nothing is
  // written into it.
  kErrStoreFolderNotOwned = 0x20000006,
};

// The Windows error number for an errno value (0 gives 0; unknown values 31).
uint32_t ErrnoToWinError(int err);

// The message text of a Windows error number, e.g. 5 -> "Access is denied."
// Unknown numbers give "Unknown error <n>.".
std::string WinErrorMessage(uint32_t code);

// Per-thread last error, set by every failing call of the platform layer.
uint32_t GetLastError();
void SetLastError(uint32_t code);

}  // namespace plat
