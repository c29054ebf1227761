; The client's installer: one 32-bit setup program, per user, in Chinese.
;
; Built by installer/make_installer.py, which stages the shipped files and passes:
;   VERSION, VERSION_MAJOR, VERSION_MINOR   the client's version
;   DEFAULT_AGENT, DEFAULT_SITE             the channel's ids when the file name carries no tag
;   STAGE                                   folder with exactly the files to ship
;   FILES_INSTALL, FILES_UNINSTALL          generated lists of File / Delete lines
;   SIZE_KB                                 installed size, for the list of programs
;   ICON, WIZARD_BMP, OUTFILE
;
; Config.ini beside the installed vornmark.exe gets, unless already there:
;   [Install] InstallTime  the time of installing, UTC, "YYYY-MM-DDThh:mm:ssZ"
;   [Common]  UID          agent id   } from the file name's tag "..._a<agent>_s<site>.exe",
;   [Common]  ADV          site id    } else DEFAULT_AGENT / DEFAULT_SITE
; Everything else in the file (RunCount, user_name, ...) belongs to the client
; and survives a reinstall, so a reinstall sends no second install report.

Unicode true
ManifestDPIAware true
RequestExecutionLevel user
SetCompressor /SOLID lzma

!include MUI2.nsh
!include LogicLib.nsh
!include FileFunc.nsh

!define PRODUCT      "沃恩马克"
!define UNINST_KEY   "Software\Microsoft\Windows\CurrentVersion\Uninstall\Vornmark"
; Held by the first running instance of the client.
!define CLIENT_MUTEX "vorn"
; A silent install or uninstall waits this long for a running client to end.
!define SILENT_WAIT_SECONDS 300
; Longest tag number taken: nine digits always fit the client's 32-bit ids.
!define TAG_MAX_DIGITS 9

Name "${PRODUCT}"
Caption "${PRODUCT} ${VERSION} 安装"
UninstallCaption "${PRODUCT} 卸载"
OutFile "${OUTFILE}"
BrandingText "${PRODUCT} ${VERSION}"
; The client writes Config.ini and keeps its files beside itself, so it lives
; where the player can write without elevation.
InstallDir "$LOCALAPPDATA\Programs\Vornmark"
InstallDirRegKey HKCU "${UNINST_KEY}" "InstallLocation"
ShowInstDetails show
ShowUninstDetails show

VIProductVersion "${VERSION_MAJOR}.${VERSION_MINOR}.0.0"
VIFileVersion "${VERSION_MAJOR}.${VERSION_MINOR}.0.0"

Var AgentId
Var SiteId
Var InstallTime

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_WELCOMEFINISHPAGE_BITMAP "${WIZARD_BMP}"
!define MUI_UNWELCOMEFINISHPAGE_BITMAP "${WIZARD_BMP}"
!define MUI_ABORTWARNING

!define MUI_WELCOMEPAGE_TITLE "欢迎安装${PRODUCT}"
!define MUI_WELCOMEPAGE_TEXT "本向导将在您的电脑上安装${PRODUCT} ${VERSION}。$\r$\n$\r$\n安装只针对当前用户，不需要管理员权限。如果${PRODUCT}正在运行，请先关闭它。$\r$\n$\r$\n点击“下一步”继续。"
!insertmacro MUI_PAGE_WELCOME
!define MUI_DIRECTORYPAGE_TEXT_TOP "${PRODUCT}将安装到下面的文件夹。设置和缓存也保存在这里，请选择您有写入权限的文件夹。"
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!define MUI_FINISHPAGE_NOAUTOCLOSE
!define MUI_FINISHPAGE_RUN
!define MUI_FINISHPAGE_RUN_TEXT "立即运行${PRODUCT}"
!define MUI_FINISHPAGE_RUN_FUNCTION RunClient
!insertmacro MUI_PAGE_FINISH

!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES

!insertmacro MUI_LANGUAGE "SimpChinese"

VIAddVersionKey /LANG=${LANG_SIMPCHINESE} "ProductName" "Vornmark"
VIAddVersionKey /LANG=${LANG_SIMPCHINESE} "CompanyName" "Vornmark"
VIAddVersionKey /LANG=${LANG_SIMPCHINESE} "FileDescription" "Vornmark game client setup"
VIAddVersionKey /LANG=${LANG_SIMPCHINESE} "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_SIMPCHINESE} "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_SIMPCHINESE} "LegalCopyright" "Copyright (C) Vornmark"
VIAddVersionKey /LANG=${LANG_SIMPCHINESE} "InternalName" "vornmark-setup"
VIAddVersionKey /LANG=${LANG_SIMPCHINESE} "OriginalFilename" "vornmark-setup-${VERSION}.exe"

; ---- a running client -----------------------------------------------------------

; Pushes 1 when the client runs: its first instance holds the mutex, and any
; instance holds its executable open, which then cannot be opened for writing.
!macro DEFINE_CLIENT_RUNNING un
Function ${un}ClientRunning
    Push $0
    Push $1
    System::Call 'kernel32::OpenMutexW(i 0x00100000, i 0, w "${CLIENT_MUTEX}") p .r0'
    ${If} $0 P<> 0
        System::Call 'kernel32::CloseHandle(p r0)'
        StrCpy $1 1
    ${Else}
        StrCpy $1 0
        ${If} ${FileExists} "$INSTDIR\vornmark.exe"
            ; GENERIC_WRITE, no sharing, OPEN_EXISTING
            System::Call 'kernel32::CreateFileW(w "$INSTDIR\vornmark.exe", i 0x40000000, i 0, p 0, i 3, i 0x80, p 0) p .r0 ?e'
            Pop $1
            ${If} $0 P<> -1
                System::Call 'kernel32::CloseHandle(p r0)'
                StrCpy $1 0
            ${ElseIf} $1 = 32  ; ERROR_SHARING_VIOLATION
                StrCpy $1 1
            ${Else}
                StrCpy $1 0
            ${EndIf}
        ${EndIf}
    ${EndIf}
    StrCpy $0 $1
    Pop $1
    Exch $0
FunctionEnd

; Returns once no client runs. Interactive: the player is asked to close it
; (retry or cancel); silent: waits, and gives up with exit code 2 when it does
; not end. Nothing has been changed when it gives up.
Function ${un}WaitForClient
    Push $0
    Push $1
    StrCpy $1 0
    ${Do}
        Call ${un}ClientRunning
        Pop $0
        ${If} $0 = 0
            ${Break}
        ${EndIf}
        ${If} ${Silent}
            ${If} $1 >= ${SILENT_WAIT_SECONDS}
                SetErrorLevel 2
                Quit
            ${EndIf}
            ${If} $1 = 0
                DetailPrint "${PRODUCT}正在运行，等待它退出……"
            ${EndIf}
            Sleep 1000
            IntOp $1 $1 + 1
        ${Else}
            MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION "${PRODUCT}正在运行。$\r$\n$\r$\n请先关闭${PRODUCT}的所有窗口，然后重试。" IDRETRY retry
            SetErrorLevel 2
            Quit
            retry:
        ${EndIf}
    ${Loop}
    Pop $1
    Pop $0
FunctionEnd
!macroend
!insertmacro DEFINE_CLIENT_RUNNING ""
!insertmacro DEFINE_CLIENT_RUNNING "un."

; ---- the channel ------------------------------------------------------------------

; Reads the decimal number that ends at position $R1 of $R0, going backwards.
; Out: $R2 = where its digits begin, $R3 = its value, or "" when there are no
; digits or more than TAG_MAX_DIGITS. Only ASCII digits count: no sign, no blanks.
Function NumberEndingAt
    StrCpy $R2 $R1
    StrCpy $R3 0
    StrCpy $R4 1   ; place value
    StrCpy $R7 0   ; digits seen
    ${Do}
        ${If} $R2 = 0
            ${Break}
        ${EndIf}
        IntOp $R5 $R2 - 1
        StrCpy $R6 $R0 1 $R5
        ; One character: NSIS reads anything but 1..9 as 0.
        IntOp $R8 $R6 + 0
        ${If} $R8 = 0
        ${AndIf} $R6 != "0"
            ${Break}
        ${EndIf}
        IntOp $R7 $R7 + 1
        ${If} $R7 > ${TAG_MAX_DIGITS}
            StrCpy $R3 ""
            Return
        ${EndIf}
        IntOp $R8 $R8 * $R4
        IntOp $R3 $R3 + $R8
        IntOp $R4 $R4 * 10
        StrCpy $R2 $R5
    ${Loop}
    ${If} $R7 = 0
        StrCpy $R3 ""
    ${EndIf}
FunctionEnd

; Sets $AgentId and $SiteId from the installer's own file name: "<any>_a<digits>_s<digits>.exe"
; (as partner sites rename the download), otherwise the build's defaults. A tag
; that does not match exactly is not used in part.
Function ReadChannel
    StrCpy $AgentId ${DEFAULT_AGENT}
    StrCpy $SiteId ${DEFAULT_SITE}
    Push $R0
    Push $R1
    Push $R2
    Push $R3
    Push $R4
    Push $R5
    Push $R6
    Push $R7
    Push $R8
    Push $R9
    StrCpy $R0 $EXEFILE
    StrLen $R1 $R0
    StrCpy $R9 $R0 "" -4
    ${If} $R1 > 4
    ${AndIf} $R9 == ".exe"
        IntOp $R1 $R1 - 4
        StrCpy $R0 $R0 $R1
        Call NumberEndingAt
        ${If} $R3 != ""
        ${AndIf} $R2 >= 2
            IntOp $R1 $R2 - 2
            StrCpy $R9 $R0 2 $R1
            ${If} $R9 == "_s"
                StrCpy $R9 $R3          ; site
                Call NumberEndingAt
                ${If} $R3 != ""
                ${AndIf} $R2 >= 2
                    IntOp $R1 $R2 - 2
                    StrCpy $R5 $R0 2 $R1
                    ${If} $R5 == "_a"
                        StrCpy $AgentId $R3
                        StrCpy $SiteId $R9
                    ${EndIf}
                ${EndIf}
            ${EndIf}
        ${EndIf}
    ${EndIf}
    Pop $R9
    Pop $R8
    Pop $R7
    Pop $R6
    Pop $R5
    Pop $R4
    Pop $R3
    Pop $R2
    Pop $R1
    Pop $R0
FunctionEnd

; $InstallTime = now in UTC, "YYYY-MM-DDThh:mm:ssZ".
Function ReadInstallTime
    Push $0
    Push $1
    Push $2
    Push $3
    Push $4
    Push $5
    Push $6
    Push $7
    System::Alloc 16  ; SYSTEMTIME
    Pop $0
    System::Call 'kernel32::GetSystemTime(p r0)'
    System::Call '*$0(&i2 .r1, &i2 .r2, &i2 .r7, &i2 .r3, &i2 .r4, &i2 .r5, &i2 .r6, &i2 .r7)'
    System::Free $0
    IntFmt $1 "%04d" $1
    IntFmt $2 "%02d" $2
    IntFmt $3 "%02d" $3
    IntFmt $4 "%02d" $4
    IntFmt $5 "%02d" $5
    IntFmt $6 "%02d" $6
    StrCpy $InstallTime "$1-$2-$3T$4:$5:$6Z"
    Pop $7
    Pop $6
    Pop $5
    Pop $4
    Pop $3
    Pop $2
    Pop $1
    Pop $0
FunctionEnd

; Writes `key` of `section` in Config.ini unless it holds a value already.
!macro WRITE_IF_EMPTY section key value
    ClearErrors
    ReadINIStr $0 "$INSTDIR\Config.ini" "${section}" "${key}"
    ${If} $0 == ""
        WriteINIStr "$INSTDIR\Config.ini" "${section}" "${key}" "${value}"
    ${EndIf}
!macroend

; ---- install ----------------------------------------------------------------------

Function .onInit
    SetShellVarContext current
    Call ReadChannel
FunctionEnd

Section "Install"
    SetShellVarContext current
    Call WaitForClient

    ; The emulator's files carry content hashes in their names: an older
    ; version's would stay behind beside the new ones.
    ${If} ${FileExists} "$INSTDIR\vornmark.exe"
        RMDir /r "$INSTDIR\ruffle"
    ${EndIf}
    SetOutPath "$INSTDIR"
    SetOverwrite on
    !include "${FILES_INSTALL}"
    SetOutPath "$INSTDIR"
    WriteUninstaller "$INSTDIR\uninstall.exe"

    Call ReadInstallTime
    !insertmacro WRITE_IF_EMPTY "Install" "InstallTime" "$InstallTime"
    !insertmacro WRITE_IF_EMPTY "Common" "UID" "$AgentId"
    !insertmacro WRITE_IF_EMPTY "Common" "ADV" "$SiteId"

    ; Shortcuts start in the program's folder (their working folder is the out path).
    CreateDirectory "$SMPROGRAMS\${PRODUCT}"
    CreateShortcut "$SMPROGRAMS\${PRODUCT}\${PRODUCT}.lnk" "$INSTDIR\vornmark.exe" "" "$INSTDIR\vornmark.exe" 0
    CreateShortcut "$SMPROGRAMS\${PRODUCT}\卸载${PRODUCT}.lnk" "$INSTDIR\uninstall.exe" "" "$INSTDIR\uninstall.exe" 0
    CreateShortcut "$DESKTOP\${PRODUCT}.lnk" "$INSTDIR\vornmark.exe" "" "$INSTDIR\vornmark.exe" 0

    WriteRegStr HKCU "${UNINST_KEY}" "DisplayName" "${PRODUCT}"
    WriteRegStr HKCU "${UNINST_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKCU "${UNINST_KEY}" "DisplayIcon" "$INSTDIR\vornmark.exe,0"
    WriteRegStr HKCU "${UNINST_KEY}" "Publisher" "Vornmark"
    WriteRegStr HKCU "${UNINST_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKCU "${UNINST_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
    WriteRegStr HKCU "${UNINST_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
    WriteRegDWORD HKCU "${UNINST_KEY}" "NoModify" 1
    WriteRegDWORD HKCU "${UNINST_KEY}" "NoRepair" 1
    WriteRegDWORD HKCU "${UNINST_KEY}" "EstimatedSize" ${SIZE_KB}
SectionEnd

Function RunClient
    SetOutPath "$INSTDIR"
    Exec '"$INSTDIR\vornmark.exe"'
FunctionEnd

; ---- uninstall --------------------------------------------------------------------

Function un.onInit
    SetShellVarContext current
FunctionEnd

; The player's data: Config.ini (the run counter, the channel's ids, the last user
; name) and the cache folder, which holds the login. Kept unless the player says
; otherwise; a silent uninstall removes it only with /REMOVEDATA.
Section "Uninstall"
    SetShellVarContext current
    Call un.WaitForClient

    StrCpy $1 0
    ${GetParameters} $0
    ClearErrors
    ${GetOptions} $0 "/REMOVEDATA" $2
    ${IfNot} ${Errors}
        StrCpy $1 1
    ${ElseIfNot} ${Silent}
        MessageBox MB_YESNO|MB_ICONQUESTION|MB_DEFBUTTON2 "是否同时删除${PRODUCT}的设置和缓存？$\r$\n$\r$\n缓存中保存着您的登录信息。选择“否”将保留它们，重新安装后可继续使用。" IDNO +2
        StrCpy $1 1
    ${EndIf}

    !include "${FILES_UNINSTALL}"
    RMDir "$INSTDIR\ruffle"
    ; Python's cache of the engine host's modules, made beside them at run time.
    RMDir /r "$INSTDIR\__pycache__"
    Delete "$INSTDIR\uninstall.exe"

    Delete "$DESKTOP\${PRODUCT}.lnk"
    Delete "$SMPROGRAMS\${PRODUCT}\${PRODUCT}.lnk"
    Delete "$SMPROGRAMS\${PRODUCT}\卸载${PRODUCT}.lnk"
    RMDir "$SMPROGRAMS\${PRODUCT}"

    ${If} $1 = 1
        Delete "$INSTDIR\Config.ini"
        RMDir /r "$LOCALAPPDATA\vorn"
    ${EndIf}
    ; Only when empty: whatever else the player put there stays.
    RMDir "$INSTDIR"

    ; Last, so that the registration goes only once everything else is done.
    DeleteRegKey HKCU "${UNINST_KEY}"
SectionEnd
