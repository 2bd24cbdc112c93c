// Built into the uninstaller's own sources for the tests (the compiler's
// -include): every Windows API call they make whose answer a test plays
// goes to the interposer's shim of it (Interposer.cpp), which forwards to
// the real function.
#pragma once

#include "platform/Platform.h"

decltype(::SHGetFolderPathW) ShimSHGetFolderPathW;
decltype(::CreateFileW) ShimCreateFileW;
decltype(::CloseHandle) ShimCloseHandle;
decltype(::GetFileInformationByHandleEx) ShimGetFileInformationByHandleEx;
decltype(::SetFileInformationByHandle) ShimSetFileInformationByHandle;
decltype(::GetTokenInformation) ShimGetTokenInformation;
decltype(::ProcessIdToSessionId) ShimProcessIdToSessionId;
decltype(::CancelSynchronousIo) ShimCancelSynchronousIo;
decltype(::MessageBoxA) ShimMessageBoxA;
decltype(::GetUserObjectInformationW) ShimGetUserObjectInformationW;
decltype(::NtCreateFile) ShimNtCreateFile;
decltype(::NtQueryDirectoryFile) ShimNtQueryDirectoryFile;
decltype(::NtQueryInformationFile) ShimNtQueryInformationFile;

#define SHGetFolderPathW ShimSHGetFolderPathW
#define CreateFileW ShimCreateFileW
#define CloseHandle ShimCloseHandle
#define GetFileInformationByHandleEx ShimGetFileInformationByHandleEx
#define SetFileInformationByHandle ShimSetFileInformationByHandle
#define GetTokenInformation ShimGetTokenInformation
#define ProcessIdToSessionId ShimProcessIdToSessionId
#define CancelSynchronousIo ShimCancelSynchronousIo
#define MessageBoxA ShimMessageBoxA
#define GetUserObjectInformationW ShimGetUserObjectInformationW
#define NtCreateFile ShimNtCreateFile
#define NtQueryDirectoryFile ShimNtQueryDirectoryFile
#define NtQueryInformationFile ShimNtQueryInformationFile
