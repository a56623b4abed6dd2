; Velmora Agent installer. Built by packaging/windows/build-windows.sh:
;   makensis -DVERSION=x.y.z -DSTAGE=<dir with the files> -DOUTFILE=<setup.exe> velmora-agent.nsi
; Per user, no administrator rights: the program lives in a folder the user
; owns, so the agent can keep data\ beside its executable. Run elevated, it
; also opens the Windows Firewall for the program; otherwise that is left to
; the administrator (see docs/deploy.md).
;
; Silent: setup.exe /S [/NOAUTOSTART] [/D=C:\path]   (/D= last, unquoted)
;         uninstall.exe /S [/REMOVEDATA]               (data\ is kept by default)
;
; A running agent is ended in order with "velmora-agent --quit" (then, only
; if it is still there, forced, this user's process only) and started again
; after an upgrade. The autostart value is written only when there is none:
; an administrator's options in it survive upgrades.
; Exit codes: 0 done, 2 cancelled or failed, 3 run as another user than the
; one logged on, 4 the running agent could not be ended. Every step is also
; a line in %TEMP%\velmora-agent-setup.log.

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
!define MUI_FINISHPAGE_RUN
!define MUI_FINISHPAGE_RUN_FUNCTION FinishPageRun
!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!define MUI_PAGE_CUSTOMFUNCTION_SHOW FinishPageShow
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_COMPONENTS
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "SimpChinese"
!insertmacro MUI_LANGUAGE "English"

!define SETUP_LOG "$TEMP\velmora-agent-setup.log"
!define QUIT_WAIT_LOOPS 60   ; x 250 ms for the exe to become replaceable

Var Elevated
Var AgentWasRunning
Var RunArgs

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

; Functions both the installer and the uninstaller call ("un." prefix).
!macro SharedFunctions UN
; Appends a dated line to the setup log and to the details list.
Function ${UN}LogLine
  Exch $R9
  Push $R0
  Push $R1
  Push $R2
  Push $R3
  Push $R4
  Push $R5
  Push $R6
  Push $R7
  ${GetTime} "" "L" $R0 $R1 $R2 $R3 $R4 $R5 $R6
  ClearErrors
  FileOpen $R7 "${SETUP_LOG}" a
  ${IfNot} ${Errors}
    FileSeek $R7 0 END
    FileWrite $R7 "$R2-$R1-$R0 $R4:$R5:$R6 ${APP} ${VERSION}: $R9$\r$\n"
    FileClose $R7
  ${EndIf}
  DetailPrint "$R9"
  Pop $R7
  Pop $R6
  Pop $R5
  Pop $R4
  Pop $R3
  Pop $R2
  Pop $R1
  Pop $R0
  Pop $R9
FunctionEnd

; Per-user install: elevated with another account's credentials (or run as
; SYSTEM by a deployment tool) it would go into that account's profile,
; HKCU and autostart. Refuses, naming both accounts.
Function ${UN}CheckInstallingUser
  System::Call 'advapi32::GetUserNameW(w .r1, *i ${NSIS_MAX_STRLEN} r2) i .r0'
  ${If} $0 == 0
    Return
  ${EndIf}
  ; -1: this process's session; 5: WTSUserName
  System::Call 'wtsapi32::WTSQuerySessionInformationW(p 0, i -1, i 5, *p .r3, *i .r4) i .r0'
  ${If} $0 == 0
    Return  ; cannot tell: carry on
  ${EndIf}
  System::Call 'kernel32::lstrcpynW(w .r5, p r3, i ${NSIS_MAX_STRLEN})'
  System::Call 'wtsapi32::WTSFreeMemory(p r3)'
  ${If} $5 == $1  ; case-insensitive, as account names are
    Return
  ${EndIf}
  ${If} $5 == ""
    StrCpy $5 "(nobody)"
  ${EndIf}
  Push "refused: runs as $1, but $5 is logged on to this PC; run it as $5"
  Call ${UN}LogLine
  MessageBox MB_ICONSTOP "本程序按用户安装，但安装程序正以 $1 的身份运行，而登录这台电脑的是 $5。$\r$\n请以 $5 的身份运行（不要用其他账户的凭据提权），否则程序会装进 $1 的配置文件。$\r$\n$\r$\nThis program installs per user, but the installer runs as $1 while $5 is logged on to this PC. Run it as $5 (not elevated with another account's credentials)." /SD IDOK
  SetErrorLevel 3
  Quit
FunctionEnd

; $0 = 1 when the installed exe cannot be opened for writing: a running copy
; keeps it open, so this is how the installer knows one runs from here.
Function ${UN}ExeLocked
  StrCpy $0 0
  IfFileExists "$INSTDIR\${EXE}" 0 done
  ClearErrors
  FileOpen $1 "$INSTDIR\${EXE}" a
  ${If} ${Errors}
    StrCpy $0 1
  ${Else}
    FileClose $1
  ${EndIf}
  done:
FunctionEnd

; Forces the processes named in --quit's "(PID n m)" line to end, only
; those of this user.
Function ${UN}ForceEndNamed
  Exch $R0  ; --quit's output
  Push $R1
  Push $R2
  Push $R3
  ReadEnvStr $R3 USERNAME
  StrCpy $R1 0
  find:
    StrCpy $R2 $R0 5 $R1
    StrCmp $R2 "" done
    StrCmp $R2 "(PID " 0 +3
      IntOp $R1 $R1 + 5
      Goto number
    IntOp $R1 $R1 + 1
    Goto find
  number:
    StrCpy $R2 $R0 1 $R1
    StrCmp $R2 " " 0 +3
      IntOp $R1 $R1 + 1
      Goto number
    StrCpy $R2 $R0 "" $R1
    IntOp $R2 $R2 + 0  ; the leading digits
    StrCmp $R2 0 done
    nsExec::Exec '"$SYSDIR\taskkill.exe" /F /PID $R2 /FI "USERNAME eq $R3"'
    Pop $R2
    Push "forced the agent to end: $R2"
    Call ${UN}LogLine
    skip:
      StrCpy $R2 $R0 1 $R1
      StrCmp $R2 "" done
      StrCmp $R2 ")" done
      StrCmp $R2 " " number
      IntOp $R1 $R1 + 1
      Goto skip
  done:
  Pop $R3
  Pop $R2
  Pop $R1
  Pop $R0
FunctionEnd

; Ends the agent running from $INSTDIR and waits until its exe can be
; replaced. $AgentWasRunning = 1 when one ran. $2 = 1: the installed agent
; knows --quit. Quits with code 4 when the exe stays locked.
Function ${UN}EndAgent
  StrCpy $AgentWasRunning 0
  Call ${UN}ExeLocked
  StrCmp $0 1 0 done
  StrCpy $AgentWasRunning 1
  ${If} $2 == 1
    Push "asking the running agent to end (--quit)"
    Call ${UN}LogLine
    nsExec::ExecToStack '"$INSTDIR\${EXE}" --quit'
    Pop $0
    Pop $1
    ${If} $0 != 0
      Push "the agent did not end in order ($0): $1"
      Call ${UN}LogLine
      Push $1
      Call ${UN}ForceEndNamed
    ${EndIf}
  ${Else}
    ; Installed by an installer older than --quit: that agent would only
    ; show its "already running" box. Ended by force, this user's only.
    ReadEnvStr $1 USERNAME
    nsExec::Exec '"$SYSDIR\taskkill.exe" /F /IM ${EXE} /FI "USERNAME eq $1"'
    Pop $0
    Push "forced the older agent to end ($0)"
    Call ${UN}LogLine
  ${EndIf}
  ; The process may outlive its last window for a moment, and a forced end
  ; returns before it is gone.
  StrCpy $1 0
  wait:
    Call ${UN}ExeLocked
    StrCmp $0 0 done
    IntOp $1 $1 + 1
    IntCmp $1 ${QUIT_WAIT_LOOPS} 0 0 locked
    Sleep 250
    Goto wait
  locked:
    Push "refused: $INSTDIR\${EXE} is still in use"
    Call ${UN}LogLine
    MessageBox MB_ICONSTOP "$INSTDIR\${EXE} 仍在运行，无法替换。请从托盘菜单选“退出”后再试。$\r$\n$\r$\n$INSTDIR\${EXE} is still running and cannot be replaced. Choose 退出 (Exit) in its tray menu and try again." /SD IDOK
    SetErrorLevel 4
    Quit
  done:
FunctionEnd
!macroend
!insertmacro SharedFunctions ""
!insertmacro SharedFunctions "un."

; '"C:\path\velmora-agent.exe" --tray --no-power' -> $R1 path, $R2 the options.
Function SplitRunValue
  Exch $R0
  StrCpy $R1 ""
  StrCpy $R2 ""
  StrCpy $R3 $R0 1
  StrCmp $R3 '"' 0 unquoted
  StrCpy $R4 1
  scan:
    StrCpy $R3 $R0 1 $R4
    StrCmp $R3 "" split
    StrCmp $R3 '"' split
    IntOp $R4 $R4 + 1
    Goto scan
  split:
    IntOp $R5 $R4 - 1
    StrCpy $R1 $R0 $R5 1
    IntOp $R4 $R4 + 1
    StrCpy $R2 $R0 "" $R4
    Goto trim
  unquoted:
    StrCpy $R4 0
    scan2:
      StrCpy $R3 $R0 1 $R4
      StrCmp $R3 "" cut
      StrCmp $R3 " " cut
      IntOp $R4 $R4 + 1
      Goto scan2
    cut:
    StrCpy $R1 $R0 $R4
    StrCpy $R2 $R0 "" $R4
  trim:
    StrCpy $R3 $R2 1
    StrCmp $R3 " " 0 +3
    StrCpy $R2 $R2 "" 1
    Goto trim
  Pop $R0
FunctionEnd

Section "!${APP}" SecMain
  SectionIn RO
  SetOutPath "$INSTDIR"
  ; Installers that ship --quit leave this mark; without it the installed
  ; agent is older.
  ReadRegDWORD $2 HKCU "Software\${APP}" "QuitOption"
  Call EndAgent
  ; How to start it again: as the autostart value would, when that names
  ; this program (read now: /NOAUTOSTART removes the value below).
  StrCpy $RunArgs "--tray"
  ReadRegStr $0 HKCU "${RUN_KEY}" "${APP}"
  ${If} $0 != ""
    Push $0
    Call SplitRunValue
    ${If} $R1 == "$INSTDIR\${EXE}"
      StrCpy $RunArgs $R2
    ${EndIf}
  ${EndIf}
  File "${STAGE}\${EXE}"
  File "${STAGE}\velmora-pad.exe"
  File "${STAGE}\README.md"
  File "${STAGE}\THIRD-PARTY-LICENSES.txt"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  CreateShortcut "$SMPROGRAMS\${APP}.lnk" "$INSTDIR\${EXE}"

  WriteRegStr HKCU "Software\${APP}" "InstallDir" "$INSTDIR"
  WriteRegDWORD HKCU "Software\${APP}" "QuitOption" 1
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
    Push "firewall rules added"
    Call LogLine
  ${EndIf}
SectionEnd

; Written only when there is none: the options an administrator added
; (--no-power, --view-only, --allow ...) stay. A value that names another
; folder gets this one, its options kept.
Section "开机登录后在托盘中启动 / Start at login in the tray" SecAutostart
  ReadRegStr $0 HKCU "${RUN_KEY}" "${APP}"
  ${If} $0 == ""
    WriteRegStr HKCU "${RUN_KEY}" "${APP}" '"$INSTDIR\${EXE}" --tray'
    Push "autostart added"
    Call LogLine
  ${Else}
    Push $0
    Call SplitRunValue
    ${If} $R1 != "$INSTDIR\${EXE}"
      WriteRegStr HKCU "${RUN_KEY}" "${APP}" '"$INSTDIR\${EXE}" $R2'
      Push "autostart moved to $INSTDIR, options kept: $R2"
    ${Else}
      Push "autostart kept: $0"
    ${EndIf}
    Call LogLine
  ${EndIf}
SectionEnd

Section "-Autostart off"
  ${IfNot} ${SectionIsSelected} ${SecAutostart}
    DeleteRegValue HKCU "${RUN_KEY}" "${APP}"
    Push "autostart removed"
    Call LogLine
  ${EndIf}
SectionEnd

; Starts the installed agent with the options in $RunArgs as the logged-on
; user and not elevated. An elevated installer hands the start to the
; desktop shell (explorer opens a shortcut in its own, unelevated process),
; so that remote input never lands in an elevated agent by surprise.
Function StartAgent
  ; TokenElevationType (18): 2 = elevated with a filtered token behind it.
  StrCpy $3 0
  System::Call 'kernel32::GetCurrentProcess() p .r1'
  System::Call 'advapi32::OpenProcessToken(p r1, i 8, *p .r2) i .r0'
  ${If} $0 != 0
    System::Call 'advapi32::GetTokenInformation(p r2, i 18, *i .r3, i 4, *i .r4) i .r0'
    System::Call 'kernel32::CloseHandle(p r2)'
  ${EndIf}
  ${If} $3 == 2
    CreateShortcut "$TEMP\velmora-agent-start.lnk" "$INSTDIR\${EXE}" "$RunArgs"
    Exec '"$WINDIR\explorer.exe" "$TEMP\velmora-agent-start.lnk"'
  ${Else}
    Exec '"$INSTDIR\${EXE}" $RunArgs'
  ${EndIf}
  Push "agent started: $RunArgs"
  Call LogLine
FunctionEnd

; An upgrade leaves the agent running when it ran before: with the options
; the autostart value had when it named this program, else --tray.
Section "-Restart"
  ${If} $AgentWasRunning != 1
    Return
  ${EndIf}
  Call StartAgent
SectionEnd

; After an upgrade the agent already runs again: no "run" box to tick.
Function FinishPageShow
  ${If} $AgentWasRunning == 1
    SendMessage $mui.FinishPage.Run ${BM_SETCHECK} ${BST_UNCHECKED} 0
    ShowWindow $mui.FinishPage.Run ${SW_HIDE}
  ${EndIf}
FunctionEnd

; The finish page's "run" box: the window, as a first install always did;
; after an upgrade the agent already runs again.
Function FinishPageRun
  ${If} $AgentWasRunning != 1
    StrCpy $RunArgs ""
    Call StartAgent
  ${EndIf}
FunctionEnd

Function .onInit
  !insertmacro CheckElevated
  Call CheckInstallingUser
  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/NOAUTOSTART" $R1
  ${IfNot} ${Errors}
    !insertmacro UnselectSection ${SecAutostart}
  ${EndIf}
FunctionEnd

Section "un.${APP}" UnSecMain
  SectionIn RO
  StrCpy $2 1  ; this uninstaller came with an agent that knows --quit
  Call un.EndAgent
  Delete "$INSTDIR\${EXE}"
  Delete "$INSTDIR\velmora-pad.exe"
  Delete "$INSTDIR\README.md"
  Delete "$INSTDIR\THIRD-PARTY-LICENSES.txt"
  Delete "$INSTDIR\uninstall.exe"
  Delete "$SMPROGRAMS\${APP}.lnk"
  DeleteRegValue HKCU "${RUN_KEY}" "${APP}"
  DeleteRegKey HKCU "${UNINST_KEY}"
  ; Rules need an administrator to go. Unelevated (the usual start from
  ; "Apps & features"), the record stays, so a later elevated run still
  ; knows, and the user is told how.
  ReadRegDWORD $0 HKCU "Software\${APP}" "FirewallRules"
  ${If} $0 == 1
  ${AndIf} $Elevated != 1
    DeleteRegValue HKCU "Software\${APP}" "InstallDir"
    DeleteRegValue HKCU "Software\${APP}" "QuitOption"
    Push 'firewall rules kept (not elevated); as administrator: netsh advfirewall firewall delete rule name="${FW_TCP}" & netsh advfirewall firewall delete rule name="${FW_UDP}"'
    Call un.LogLine
    MessageBox MB_ICONINFORMATION "Windows 防火墙中本程序的两条规则需要管理员权限才能删除，已保留。请以管理员身份运行：$\r$\n$\r$\nThe two Windows Firewall rules of this program need an administrator to be removed and were kept. Run as administrator:$\r$\n$\r$\nnetsh advfirewall firewall delete rule name=$\"${FW_TCP}$\"$\r$\nnetsh advfirewall firewall delete rule name=$\"${FW_UDP}$\"" /SD IDOK
  ${Else}
    ${If} $0 == 1
      nsExec::Exec 'netsh advfirewall firewall delete rule name="${FW_TCP}"'
      Pop $0
      nsExec::Exec 'netsh advfirewall firewall delete rule name="${FW_UDP}"'
      Pop $0
      Push "firewall rules removed"
      Call un.LogLine
    ${EndIf}
    DeleteRegKey HKCU "Software\${APP}"
  ${EndIf}
  Push "uninstalled from $INSTDIR"
  Call un.LogLine
SectionEnd

Section /o "un.删除设置与日志 (data\) / Remove settings and logs" UnSecData
  RMDir /r "$INSTDIR\data"
SectionEnd

Section "-un.Folder"
  RMDir "$INSTDIR"  ; only when empty: a kept data\ keeps it
SectionEnd

Function un.onInit
  !insertmacro CheckElevated
  Call un.CheckInstallingUser
  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/REMOVEDATA" $R1
  ${IfNot} ${Errors}
    !insertmacro SelectSection ${UnSecData}
  ${EndIf}
FunctionEnd
