; The per-user installer: no administrator rights, the program under
; %LOCALAPPDATA%\Programs\Quarlex, a Start-menu entry, and an uninstaller registered for the
; user. Silent with /S; /D=<folder> chooses another folder.
; makensis -DVERSION=1.724 -DVERSION4=1.724.0.0 -DSTAGE=<staged folder> -DICON=<.ico> -DOUTFILE=<setup.exe> installer.nsi
Unicode true
; A 64-bit installer for a 64-bit program (it also runs under a wine without 32-bit support).
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel user

!define NAME "Quarlex"
!define PUBLISHER "Quarlex"
!define UNINST_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Quarlex"

Name "${NAME} ${VERSION}"
OutFile "${OUTFILE}"
Icon "${ICON}"
UninstallIcon "${ICON}"
InstallDir "$LOCALAPPDATA\Programs\Quarlex"
InstallDirRegKey HKCU "${UNINST_KEY}" "InstallLocation"
ShowInstDetails nevershow
ShowUninstDetails nevershow

VIProductVersion "${VERSION4}"
VIAddVersionKey "ProductName" "${NAME}"
VIAddVersionKey "CompanyName" "${PUBLISHER}"
VIAddVersionKey "FileDescription" "${NAME} ${VERSION} setup"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "LegalCopyright" "Copyright (c) 2026 the Quarlex developers. All rights reserved."

; The program's own terms first (a silent install skips the pages).
LicenseData "${STAGE}\licenses\Quarlex.txt"
Page license
Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Function .onInit
  SetShellVarContext current
FunctionEnd
Function un.onInit
  SetShellVarContext current
FunctionEnd

Section "Quarlex"
  SetOutPath "$INSTDIR"
  File /r "${STAGE}\*"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  CreateShortcut "$SMPROGRAMS\Quarlex.lnk" "$INSTDIR\quarlex.exe"
  WriteRegStr HKCU "${UNINST_KEY}" "DisplayName" "${NAME}"
  WriteRegStr HKCU "${UNINST_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "${UNINST_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKCU "${UNINST_KEY}" "DisplayIcon" "$INSTDIR\quarlex.exe"
  WriteRegStr HKCU "${UNINST_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKCU "${UNINST_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKCU "${UNINST_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKCU "${UNINST_KEY}" "NoModify" 1
  WriteRegDWORD HKCU "${UNINST_KEY}" "NoRepair" 1
SectionEnd

Section "Uninstall"
  Delete "$SMPROGRAMS\Quarlex.lnk"
  ; Only the files this installer put there: captures saved in the folder are the user's.
  !include "${STAGE}.nsh"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  DeleteRegKey HKCU "${UNINST_KEY}"
SectionEnd
