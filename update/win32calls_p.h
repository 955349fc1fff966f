#pragma once

#include <windows.h>

// The kernel32 and advapi32 calls of the file and process rooms, called
// through this table so that tests under Wine can stand in for refusals that
// Wine never gives: a scanner's sharing violation, an elevated process whose
// token is denied, a process that refuses to end. The updater itself never
// changes an entry.
struct Win32Calls
{
    decltype(&CreateFileW) createFile = &CreateFileW;
    decltype(&SetFileInformationByHandle) setFileInformationByHandle = &SetFileInformationByHandle;
    decltype(&MoveFileExW) moveFileEx = &MoveFileExW;
    decltype(&DeleteFileW) deleteFile = &DeleteFileW;
    decltype(&CreateHardLinkW) createHardLink = &CreateHardLinkW;
    decltype(&RemoveDirectoryW) removeDirectory = &RemoveDirectoryW;
    decltype(&FlushFileBuffers) flushFileBuffers = &FlushFileBuffers;
    decltype(&OpenProcess) openProcess = &OpenProcess;
    decltype(&OpenProcessToken) openProcessToken = &OpenProcessToken;
    decltype(&TerminateProcess) terminateProcess = &TerminateProcess;
};

// The calls in use: the system's own, unless a test put others in.
Win32Calls &win32();
