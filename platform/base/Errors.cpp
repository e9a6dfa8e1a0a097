#include "platform/base/Errors.h"

#include <cerrno>

namespace plat {

namespace {
thread_local uint32_t t_lastError = 0;
}

uint32_t ErrnoToWinError(int err) {
  switch (err) {
    case 0:
      return kErrSuccess;
    case ENOENT:
      return kErrFileNotFound;
    case ENOTDIR:
      return kErrPathNotFound;
    case EACCES:
    case EPERM:
      return kErrAccessDenied;
    case EROFS:
      return kErrWriteProtect;
    case EEXIST:
      return kErrAlreadyExists;
    case ENOSPC:
    case EDQUOT:
      return kErrDiskFull;
    case EFBIG:      // larger than the file system takes (4 GiB on FAT)
    case EOVERFLOW:  // a size the call cannot express
      return kErrFileTooLarge;
    case EBUSY:
      return kErrBusy;
    case ETXTBSY:
      return kErrSharingViolation;
    case EMLINK:
      return kErrTooManyLinks;
    case EUCLEAN:
      return kErrFileCorrupt;
    case ENOBUFS:
      return kErrNoSystemResources;
    case ECANCELED:
      return kErrCancelled;
    case EWOULDBLOCK:
      return kErrLockViolation;
    case ENAMETOOLONG:
      return kErrFilenameExcedRange;
    case ENOTEMPTY:
      return kErrDirNotEmpty;
    case EISDIR:
      return kErrAccessDenied;  // what opening a folder as a file gives
    case EIO:
      return kErrIoDevice;
    case EMFILE:
    case ENFILE:
      return kErrTooManyOpenFiles;
    case EBADF:
      return kErrInvalidHandle;
    case ENOMEM:
      return kErrNotEnoughMemory;
    case EINVAL:
      return kErrInvalidParameter;
    case EXDEV:
      return kErrNotSameDevice;
    case ESPIPE:
      return kErrSeek;
    case EPIPE:
      return kErrBrokenPipe;
    case ENOTSUP:
#if EOPNOTSUPP != ENOTSUP
    case EOPNOTSUPP:
#endif
    case ENOSYS:
      return kErrNotSupported;
    case ELOOP:
      return kErrCantResolveFilename;
    case ENOMEDIUM:
      return kErrNoMediaInDrive;
    case ENODEV:
    case ENXIO:
      return kErrDeviceNotConnected;
    case ETIMEDOUT:
      return kErrTimeout;
    case ECONNREFUSED:
      return kErrConnectionRefused;
    case EHOSTUNREACH:
    case ENETUNREACH:
    case ENETDOWN:
    case EHOSTDOWN:
      return kErrBadNetPath;
    case ESTALE:
    case ENOTCONN:
    case ECONNRESET:
    case ECONNABORTED:
    case ENETRESET:
    case ENOLINK:
    case ESHUTDOWN:
      return kErrNetNameDeleted;
    case EREMOTEIO:
    case EPROTO:
    case ECOMM:
      return kErrUnexpNetErr;
    default:
      return kErrGenFailure;
  }
}

std::string WinErrorMessage(uint32_t code) {
  switch (code) {
    case kErrSuccess:
      return "The operation completed successfully.";
    case kErrFileNotFound:
      return "The system cannot find the file specified.";
    case kErrPathNotFound:
      return "The system cannot find the path specified.";
    case kErrTooManyOpenFiles:
      return "The system cannot open the file.";
    case kErrAccessDenied:
      return "Access is denied.";
    case kErrInvalidHandle:
      return "The handle is invalid.";
    case kErrNotEnoughMemory:
      return "Not enough storage is available to process this command.";
    case kErrNotSameDevice:
      return "The system cannot move the file to a different disk drive.";
    case kErrNoMoreFiles:
      return "There are no more files.";
    case kErrWriteProtect:
      return "The media is write protected.";
    case kErrNotReady:
      return "The device is not ready.";
    case kErrCrc:
      return "Data error (cyclic redundancy check).";
    case kErrSeek:
      return "The drive cannot locate a specific area or track on the disk.";
    case kErrWriteFault:
      return "The system cannot write to the specified device.";
    case kErrReadFault:
      return "The system cannot read from the specified device.";
    case kErrGenFailure:
      return "A device attached to the system is not functioning.";
    case kErrSharingViolation:
      return "The process cannot access the file because it is being used by another process.";
    case kErrLockViolation:
      return "The process cannot access the file because another process has locked a portion "
             "of the file.";
    case kErrHandleEof:
      return "Reached the end of the file.";
    case kErrNotSupported:
      return "The request is not supported.";
    case kErrBadNetPath:
      return "The network path was not found.";
    case kErrNetworkBusy:
      return "The network is busy.";
    case kErrUnexpNetErr:
      return "An unexpected network error occurred.";
    case kErrNetNameDeleted:
      return "The specified network name is no longer available.";
    case kErrBadNetName:
      return "The network name cannot be found.";
    case kErrFileExists:
      return "The file exists.";
    case kErrUnrecognizedVolume:
      return "The volume does not contain a recognized file system.";
    case kErrCannotMake:
      return "The directory or file cannot be created.";
    case kErrInvalidParameter:
      return "The parameter is incorrect.";
    case kErrBrokenPipe:
      return "The pipe has been ended.";
    case kErrOpenFailed:
      return "The system cannot open the device or file specified.";
    case kErrDiskFull:
      return "There is not enough space on the disk.";
    case kErrInsufficientBuffer:
      return "The data area passed to a system call is too small.";
    case kErrInvalidName:
      return "The filename, directory name, or volume label syntax is incorrect.";
    case kErrDirNotEmpty:
      return "The directory is not empty.";
    case kErrBusy:
      return "The requested resource is in use.";
    case kErrAlreadyExists:
      return "Cannot create a file when that file already exists.";
    case kErrFilenameExcedRange:
      return "The filename or extension is too long.";
    case kErrFileTooLarge:
      return "The file size exceeds the limit allowed and cannot be saved.";
    case kErrNoMoreItems:
      return "No more data is available.";
    case kErrDirectory:
      return "The directory name is invalid.";
    case kErrNoMediaInDrive:
      return "No media in drive.";
    case kErrIoDevice:
      return "The request could not be performed because of an I/O device error.";
    case kErrTooManyLinks:
      return "An attempt was made to create more links on a file than the file system supports.";
    case kErrFileCorrupt:
      return "The file or directory is corrupted and unreadable.";
    case kErrNoSystemResources:
      return "Insufficient system resources exist to complete the requested service.";
    case kErrDeviceNotConnected:
      return "The device is not connected.";
    case kErrConnectionRefused:
      return "The remote computer refused the network connection.";
    case kErrTimeout:
      return "This operation returned because the timeout period expired.";
    case kErrCantResolveFilename:
      return "The name of the file cannot be resolved by the system.";
    case kErrStoppedOnLink:
      return "A link was found inside the backup store where a folder or file was expected; "
             "nothing was written through it.";
    case kErrStoreFolderNotOwned:
      return "A folder inside the backup store belongs to another user, who could read or replace "
             "the copies written in it; nothing was written into it.";
    case kErrCancelled:
      return "The operation was canceled by the user.";
    default:
      return "Unknown error " + std::to_string(code) + ".";
  }
}

uint32_t GetLastError() { return t_lastError; }
void SetLastError(uint32_t code) { t_lastError = code; }

}  // namespace plat
