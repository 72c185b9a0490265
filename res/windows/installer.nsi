; The Windows installer, telvane-<version>-win64-setup.exe, compiled on Debian
; by scripts/windows-installer.sh with makensis. It installs for the user who
; runs it, without administrator rights: the zip's files into
; %LOCALAPPDATA%\Programs\Telvane, Start menu entries, an entry in Apps &
; features, and on request a shortcut in the Startup folder.
;
; Defines from the script: VERSION, OUTFILE, ICON, LICENSE, INSTALL_LINES
; and REMOVE_LINES (File and Delete lines made from the staged folder, so
; that the uninstaller removes exactly what was installed), and HUBPAGE (the
; hub page helper) when telvane-hub.exe is among the staged files.

Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel user
ManifestDPIAware true

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Telvane"

Name "Telvane"
OutFile "${OUTFILE}"
InstallDir "$LOCALAPPDATA\Programs\Telvane"
; An update goes where the installed version is.
InstallDirRegKey HKCU "${UNINSTALL_KEY}" "InstallLocation"
BrandingText "Telvane ${VERSION}"

!include MUI2.nsh
!include FileFunc.nsh
!include LogicLib.nsh
!include Sections.nsh

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_ABORTWARNING
!define MUI_COMPONENTSPAGE_NODESC
!define MUI_WELCOMEPAGE_TEXT "Setup will install Telvane ${VERSION} for you alone, into your own \
user folder; it needs no administrator rights.$\r$\n$\r$\nTelvane relays the readings of the \
hardware monitor on this computer to another device on the local network.$\r$\n$\r$\n\
If Telvane is running, close it before you continue.$\r$\n$\r$\n$_CLICK"
!define MUI_FINISHPAGE_RUN "$INSTDIR\telvane.exe"

!insertmacro MUI_PAGE_WELCOME
!insertmacro MUI_PAGE_LICENSE "${LICENSE}"
!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

; A running program cannot be replaced or removed; Windows refuses to open
; it for writing, which tells us so without knowing its window.
!macro WAIT_UNTIL_CLOSED PROGRAM
    ${Do}
        ClearErrors
        ${IfNot} ${FileExists} "$INSTDIR\${PROGRAM}"
            ${Break}
        ${EndIf}
        FileOpen $0 "$INSTDIR\${PROGRAM}" a
        ${IfNot} ${Errors}
            FileClose $0
            ${Break}
        ${EndIf}
        MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION "${PROGRAM} is running. Close it, then choose Retry." \
            /SD IDCANCEL IDRETRY +2
        Abort "${PROGRAM} is running; close it and start again."
    ${Loop}
!macroend

!macro PROGRAMS_CLOSED UN
    Function ${UN}ProgramsClosed
        !insertmacro WAIT_UNTIL_CLOSED "telvane.exe"
        !insertmacro WAIT_UNTIL_CLOSED "telvane-hub.exe"
    FunctionEnd
!macroend
!insertmacro PROGRAMS_CLOSED ""
!insertmacro PROGRAMS_CLOSED "un."

Section "Telvane" SectionProgram
    SectionIn RO
    Call ProgramsClosed
    ; The older version's own uninstaller removes exactly its files, so
    ; nothing of it lingers beside the new ones; _? keeps it in place and
    ; makes ExecWait wait for it.
    ${If} ${FileExists} "$INSTDIR\uninstall.exe"
        ExecWait '"$INSTDIR\uninstall.exe" /S _?=$INSTDIR'
    ${EndIf}
    !include "${INSTALL_LINES}"
    SetOutPath "$INSTDIR"
    WriteUninstaller "$INSTDIR\uninstall.exe"
    CreateShortcut "$SMPROGRAMS\Telvane.lnk" "$INSTDIR\telvane.exe"
!ifdef HUBPAGE
    File "/oname=telvane-hubpage.exe" "${HUBPAGE}"
    CreateShortcut "$SMPROGRAMS\Telvane hub page.lnk" "$INSTDIR\telvane-hubpage.exe" "" "$INSTDIR\telvane.exe" 0
!endif
SectionEnd

; Minimized without taking the focus (NSIS's SW_SHOWMINIMIZED writes
; SW_SHOWMINNOACTIVE), so that signing in opens no window over the desktop.
Section /o "Start Telvane when I sign in" SectionAutostart
    SetOutPath "$INSTDIR"
    CreateShortcut "$SMSTARTUP\Telvane.lnk" "$INSTDIR\telvane.exe" "" "" 0 SW_SHOWMINIMIZED
SectionEnd

Section "-Apps & features"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "Telvane"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "Publisher" "Telvane developers"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\telvane.exe"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
    WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
    WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
    SectionGetSize ${SectionProgram} $0
    WriteRegDWORD HKCU "${UNINSTALL_KEY}" "EstimatedSize" $0
SectionEnd

; Sign-in start: off on a first install, as before on an update; a silent
; install decides with /AUTOSTART=1 or /AUTOSTART=0.
Function .onInit
    ${If} ${FileExists} "$SMSTARTUP\Telvane.lnk"
        !insertmacro SelectSection ${SectionAutostart}
    ${EndIf}
    ${GetParameters} $0
    ClearErrors
    ${GetOptions} $0 "/AUTOSTART=" $1
    ${IfNot} ${Errors}
        ${If} $1 == 1
            !insertmacro SelectSection ${SectionAutostart}
        ${Else}
            !insertmacro UnselectSection ${SectionAutostart}
        ${EndIf}
    ${EndIf}
FunctionEnd

; Only what the installer made: files the user put in the folder stay, and
; with them the folder.
Section "Uninstall"
    Call un.ProgramsClosed
    !include "${REMOVE_LINES}"
!ifdef HUBPAGE
    Delete "$INSTDIR\telvane-hubpage.exe"
!endif
    Delete "$INSTDIR\uninstall.exe"
    RMDir "$INSTDIR"
    ; %LOCALAPPDATA%\Programs too, when nothing else is in it.
    RMDir "$LOCALAPPDATA\Programs"
    Delete "$SMPROGRAMS\Telvane.lnk"
    Delete "$SMPROGRAMS\Telvane hub page.lnk"
    Delete "$SMSTARTUP\Telvane.lnk"
    DeleteRegKey HKCU "${UNINSTALL_KEY}"
SectionEnd
