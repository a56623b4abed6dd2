; Velmora Agent installer. Built by packaging/windows/build-windows.sh:
;   makensis -DVERSION=x.y.z -DSTAGE=<dir with the files> -DOUTFILE=<setup.exe> velmora-agent.nsi
; Per user, no administrator rights: the program lives in a folder the user
; owns, so the agent can keep data\ beside its executable. Run elevated, it
; also opens the Windows Firewall for the program; otherwise that is left to
; the administrator (see docs/deploy.md).
;
; Silent: setup.exe /S [/NOAUTOSTART] [/D=C:\path]   (/D= last, unquoted)
;         uninstall.exe /S [/REMOVEDATA]               (data\ is kept by default)

Unicode true
Target amd64-unicode
ManifestDPIAware true
RequestExecutionLevel user
SetCompressor /SOLID lzma

!include MUI2.nsh
!include FileFunc.nsh
!include LogicLib.nsh
!include Sections.nsh

!define APP "Velmora Agent"
!define EXE "velmora-agent.exe"
!define UNINST_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\VelmoraAgent"
!define RUN_KEY "Software\Microsoft\Windows\CurrentVersion\Run"
!define FW_TCP "Velmora Agent (TCP in)"
!define FW_UDP "Velmora Agent (UDP in)"

Name "${APP} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$LOCALAPPDATA\Programs\${APP}"
InstallDirRegKey HKCU "Software\${APP}" "InstallDir"
BrandingText "${APP} ${VERSION}"
VIProductVersion "${VERSION}.0"
VIAddVersionKey "ProductName" "${APP}"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "FileDescription" "${APP} installer"
VIAddVersionKey "LegalCopyright" "Velmora"

!define MUI_ICON "${STAGE}\app.ico"
!define MUI_UNICON "${STAGE}\app.ico"
!define MUI_FINISHPAGE_RUN "$INSTDIR\${EXE}"
!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_COMPONENTS
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "SimpChinese"
!insertmacro MUI_LANGUAGE "English"

Var Elevated

; Elevated means an administrator token that is not filtered: UserInfo
; reports "Admin" only then.
!macro CheckElevated
  StrCpy $Elevated 0
  UserInfo::GetAccountType
  Pop $0
  ${If} $0 == "Admin"
    StrCpy $Elevated 1
  ${EndIf}
!macroend

Section "!${APP}" SecMain
  SectionIn RO
  SetOutPath "$INSTDIR"
  ; A running copy would keep its exe locked.
  nsExec::Exec '"$SYSDIR\taskkill.exe" /F /IM ${EXE}'
  Pop $0
  File "${STAGE}\${EXE}"
  File "${STAGE}\velmora-pad.exe"
  File "${STAGE}\README.md"
  File "${STAGE}\THIRD-PARTY-LICENSES.txt"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  CreateShortcut "$SMPROGRAMS\${APP}.lnk" "$INSTDIR\${EXE}"

  WriteRegStr HKCU "Software\${APP}" "InstallDir" "$INSTDIR"
  WriteRegStr HKCU "${UNINST_KEY}" "DisplayName" "${APP}"
  WriteRegStr HKCU "${UNINST_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "${UNINST_KEY}" "Publisher" "Velmora"
  WriteRegStr HKCU "${UNINST_KEY}" "DisplayIcon" "$INSTDIR\${EXE}"
  WriteRegStr HKCU "${UNINST_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKCU "${UNINST_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKCU "${UNINST_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKCU "${UNINST_KEY}" "NoModify" 1
  WriteRegDWORD HKCU "${UNINST_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD HKCU "${UNINST_KEY}" "EstimatedSize" $0

  ; Rules for the program only: the service ports in, and the Pad's replies
  ; to discovery (UDP). Re-adding first deletes, so an update never doubles them.
  ${If} $Elevated == 1
    nsExec::Exec 'netsh advfirewall firewall delete rule name="${FW_TCP}"'
    Pop $0
    nsExec::Exec 'netsh advfirewall firewall delete rule name="${FW_UDP}"'
    Pop $0
    nsExec::Exec 'netsh advfirewall firewall add rule name="${FW_TCP}" dir=in action=allow program="$INSTDIR\${EXE}" protocol=TCP localport=24692-24707 enable=yes'
    Pop $0
    nsExec::Exec 'netsh advfirewall firewall add rule name="${FW_UDP}" dir=in action=allow program="$INSTDIR\${EXE}" protocol=UDP enable=yes'
    Pop $0
    WriteRegDWORD HKCU "Software\${APP}" "FirewallRules" 1
  ${EndIf}
SectionEnd

Section "开机登录后在托盘中启动 / Start at login in the tray" SecAutostart
  WriteRegStr HKCU "${RUN_KEY}" "${APP}" '"$INSTDIR\${EXE}" --tray'
SectionEnd

Function .onInit
  !insertmacro CheckElevated
  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/NOAUTOSTART" $R1
  ${IfNot} ${Errors}
    !insertmacro UnselectSection ${SecAutostart}
  ${EndIf}
FunctionEnd

Section "un.${APP}" UnSecMain
  SectionIn RO
  nsExec::Exec '"$SYSDIR\taskkill.exe" /F /IM ${EXE}'
  Pop $0
  Delete "$INSTDIR\${EXE}"
  Delete "$INSTDIR\velmora-pad.exe"
  Delete "$INSTDIR\README.md"
  Delete "$INSTDIR\THIRD-PARTY-LICENSES.txt"
  Delete "$INSTDIR\uninstall.exe"
  Delete "$SMPROGRAMS\${APP}.lnk"
  DeleteRegValue HKCU "${RUN_KEY}" "${APP}"
  DeleteRegKey HKCU "${UNINST_KEY}"
  ReadRegDWORD $0 HKCU "Software\${APP}" "FirewallRules"
  ${If} $0 == 1
  ${AndIf} $Elevated == 1
    nsExec::Exec 'netsh advfirewall firewall delete rule name="${FW_TCP}"'
    Pop $0
    nsExec::Exec 'netsh advfirewall firewall delete rule name="${FW_UDP}"'
    Pop $0
  ${EndIf}
  DeleteRegKey HKCU "Software\${APP}"
SectionEnd

Section /o "un.删除设置与日志 (data\) / Remove settings and logs" UnSecData
  RMDir /r "$INSTDIR\data"
SectionEnd

Section "-un.Folder"
  RMDir "$INSTDIR"  ; only when empty: a kept data\ keeps it
SectionEnd

Function un.onInit
  !insertmacro CheckElevated
  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/REMOVEDATA" $R1
  ${IfNot} ${Errors}
    !insertmacro SelectSection ${UnSecData}
  ${EndIf}
FunctionEnd
