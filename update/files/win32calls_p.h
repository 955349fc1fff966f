#pragma once

#include <windows.h>

#include <shellapi.h>
#include <tlhelp32.h>

// The Win32 calls of the run, called through this table so that tests under
// Wine can stand in for refusals that Wine never gives: a scanner's sharing
// violation, a denial by an access list, a full disk, a failing device, an
// elevated process whose token is denied, a process that refuses to end, a
// declined elevation prompt, a file system without 128-bit file IDs. The
// updater itself never changes an entry.
struct Win32Calls
{
    // Files and folders.
    decltype(&CreateFileW) createFile = &CreateFileW;
    decltype(&ReadFile) readFile = &ReadFile;
    decltype(&SetFileInformationByHandle) setFileInformationByHandle = &SetFileInformationByHandle;
    decltype(&GetFileInformationByHandle) getFileInformationByHandle = &GetFileInformationByHandle;
    decltype(&GetFileInformationByHandleEx) getFileInformationByHandleEx = &GetFileInformationByHandleEx;
    decltype(&GetFinalPathNameByHandleW) getFinalPathNameByHandle = &GetFinalPathNameByHandleW;
    decltype(&GetVolumeInformationByHandleW) getVolumeInformationByHandle = &GetVolumeInformationByHandleW;
    decltype(&MoveFileExW) moveFileEx = &MoveFileExW;
    decltype(&CopyFileW) copyFile = &CopyFileW;
    decltype(&DeleteFileW) deleteFile = &DeleteFileW;
    decltype(&CreateHardLinkW) createHardLink = &CreateHardLinkW;
    decltype(&CreateDirectoryW) createDirectory = &CreateDirectoryW;
    decltype(&RemoveDirectoryW) removeDirectory = &RemoveDirectoryW;
    decltype(&FlushFileBuffers) flushFileBuffers = &FlushFileBuffers;
    decltype(&GetFileAttributesW) getFileAttributes = &GetFileAttributesW;
    decltype(&GetFileAttributesExW) getFileAttributesEx = &GetFileAttributesExW;
    decltype(&SetFileAttributesW) setFileAttributes = &SetFileAttributesW;
    decltype(&SetFileTime) setFileTime = &SetFileTime;
    decltype(&FindFirstFileW) findFirstFile = &FindFirstFileW;
    decltype(&GetLongPathNameW) getLongPathName = &GetLongPathNameW;
    decltype(&GetShortPathNameW) getShortPathName = &GetShortPathNameW;
    // The NTSTATUS behind the thread's last error, which tells a file being
    // deleted from a denial (both are ERROR_ACCESS_DENIED); 0 where the
    // system does not tell.
    LONG(WINAPI *lastNtStatus)() = &systemLastNtStatus;

    // Processes and accounts.
    decltype(&OpenProcess) openProcess = &OpenProcess;
    decltype(&OpenProcessToken) openProcessToken = &OpenProcessToken;
    decltype(&GetTokenInformation) getTokenInformation = &GetTokenInformation;
    decltype(&TerminateProcess) terminateProcess = &TerminateProcess;
    decltype(&QueryFullProcessImageNameW) queryFullProcessImageName = &QueryFullProcessImageNameW;
    decltype(&CreateToolhelp32Snapshot) createToolhelp32Snapshot = &CreateToolhelp32Snapshot;
    decltype(&ShellExecuteExW) shellExecuteEx = &ShellExecuteExW;
    decltype(&WaitForSingleObject) waitForSingleObject = &WaitForSingleObject;
    decltype(&GetExitCodeProcess) getExitCodeProcess = &GetExitCodeProcess;

    // The registry (the start-up entry).
    decltype(&RegCreateKeyExW) regCreateKeyEx = &RegCreateKeyExW;
    decltype(&RegSetValueExW) regSetValueEx = &RegSetValueExW;
    decltype(&RegQueryValueExW) regQueryValueEx = &RegQueryValueExW;
    decltype(&RegDeleteValueW) regDeleteValue = &RegDeleteValueW;
    decltype(&RegFlushKey) regFlushKey = &RegFlushKey;

    static LONG WINAPI systemLastNtStatus();
};

// The calls in use: the system's own, unless a test put others in.
Win32Calls &win32();
