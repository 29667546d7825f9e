; MovraOPC-setup.exe: the server, the configurator, the proxy/stub DLL, opc-client, the
; commissioning check and the operator's manual in one folder, registered, with Start-menu
; entries and an uninstaller.
;   makensis /DSERVER=... /DCONFIGURATOR=... /DPROXY=... /DCLIENT=... [/DCHECK=...]
;            /DMANUAL=<folder of index.html> /DOUTFILE=... MovraOPC.nsi
; Silent use: MovraOPC-setup.exe /S [/D=C:\Folder]; Uninstall.exe /S [/REMOVEDATA] keeps
; MovraOPCServer.ini and log.txt unless /REMOVEDATA is given.

Unicode true
Target amd64-unicode
RequestExecutionLevel admin
SetCompressor /SOLID lzma

!include MUI2.nsh
!include LogicLib.nsh
!include FileFunc.nsh

!define PRODUCT "Movra OPC"
!define VERSION "1.1.1"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\MovraOPC"
!define SERVER_CLSID "{5E1C2A7B-94D3-4F60-8B21-3C7D9A0E6F15}"

Name "${PRODUCT}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\Movra OPC"
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
ShowInstDetails show
ShowUninstDetails show

!define MUI_COMPONENTSPAGE_NODESC
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_COMPONENTS
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

; A program that is running cannot be replaced: its file cannot be opened for writing.
!macro REFUSE_WHILE_RUNNING
    ${If} ${FileExists} "$INSTDIR\MovraOPCServer.exe"
        ClearErrors
        FileOpen $0 "$INSTDIR\MovraOPCServer.exe" a
        ${If} ${Errors}
            MessageBox MB_OK|MB_ICONSTOP "MovraOPCServer is running in $INSTDIR and cannot be replaced. Close the OPC clients that use it (the server ends about 5 seconds after the last one has gone) and run this program again." /SD IDOK
            SetErrorLevel 3
            Quit
        ${EndIf}
        FileClose $0
    ${EndIf}
!macroend

Function .onInit
    !insertmacro REFUSE_WHILE_RUNNING
FunctionEnd

Section "Programs" SecPrograms
    SectionIn RO
    !insertmacro REFUSE_WHILE_RUNNING
    SetOutPath "$INSTDIR"
    File "/oname=MovraOPCServer.exe" "${SERVER}"
    File "/oname=MovraOPCConfigurator.exe" "${CONFIGURATOR}"
    File "/oname=MovraOPCProxy.dll" "${PROXY}"
    File "/oname=opc-client.exe" "${CLIENT}"
!ifdef CHECK
    File "/oname=MovraOPCCheck.exe" "${CHECK}"
!endif
    ; The configurator's help button opens manual\index.html beside it.
    RMDir /r "$INSTDIR\manual"
    SetOutPath "$INSTDIR\manual"
    File /r "${MANUAL}/*"
    SetOutPath "$INSTDIR"
    ; MovraOPCServer.ini is never shipped, so an earlier installation's configuration stays.
    WriteUninstaller "$INSTDIR\Uninstall.exe"

    ; The proxy/stub registers only interfaces that no other proxy serves yet.
    ExecWait '"$SYSDIR\regsvr32.exe" /s "$INSTDIR\MovraOPCProxy.dll"' $0
    ${If} $0 != 0
        DetailPrint "regsvr32 MovraOPCProxy.dll failed with exit code $0"
        MessageBox MB_OK|MB_ICONSTOP "The proxy/stub MovraOPCProxy.dll could not be registered (regsvr32 exit code $0)." /SD IDOK
        SetErrorLevel 4
        Abort
    ${EndIf}
    ExecWait '"$INSTDIR\MovraOPCServer.exe" /Register'
    ClearErrors
    ReadRegStr $1 HKCR "CLSID\${SERVER_CLSID}\LocalServer32" ""
    ${If} ${Errors}
    ${OrIf} $1 == ""
        MessageBox MB_OK|MB_ICONSTOP "MovraOPCServer.exe /Register did not register the server; see $INSTDIR\log.txt." /SD IDOK
        SetErrorLevel 4
        Abort
    ${EndIf}
    DetailPrint "Registered ${SERVER_CLSID}: $1"

    SetShellVarContext all
    CreateDirectory "$SMPROGRAMS\${PRODUCT}"
    CreateShortcut "$SMPROGRAMS\${PRODUCT}\Movra OPC Configurator.lnk" "$INSTDIR\MovraOPCConfigurator.exe"
    CreateShortcut "$SMPROGRAMS\${PRODUCT}\Operator manual.lnk" "$INSTDIR\manual\index.html"
    CreateShortcut "$SMPROGRAMS\${PRODUCT}\Server log.lnk" "$INSTDIR\log.txt"
!ifdef CHECK
    ; In a console that stays open, so the report can be read.
    CreateShortcut "$SMPROGRAMS\${PRODUCT}\Commissioning check.lnk" "$SYSDIR\cmd.exe" '/k ""$INSTDIR\MovraOPCCheck.exe""' "$INSTDIR\MovraOPCCheck.exe"
!endif
    CreateShortcut "$SMPROGRAMS\${PRODUCT}\Uninstall.lnk" "$INSTDIR\Uninstall.exe"

    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT} server ${VERSION}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "MOVRA"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
    WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S'
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "un.Programs" UnSecPrograms
    SectionIn RO
    ; The server cannot be removed while it runs either.
    ${If} ${FileExists} "$INSTDIR\MovraOPCServer.exe"
        ClearErrors
        FileOpen $0 "$INSTDIR\MovraOPCServer.exe" a
        ${If} ${Errors}
            MessageBox MB_OK|MB_ICONSTOP "MovraOPCServer is running and cannot be removed. Close the OPC clients that use it and run the uninstaller again." /SD IDOK
            SetErrorLevel 3
            Quit
        ${EndIf}
        FileClose $0
    ${EndIf}
    ExecWait '"$INSTDIR\MovraOPCServer.exe" /UnRegister'
    ExecWait '"$SYSDIR\regsvr32.exe" /s /u "$INSTDIR\MovraOPCProxy.dll"'
    Delete "$INSTDIR\MovraOPCServer.exe"
    Delete "$INSTDIR\MovraOPCConfigurator.exe"
    Delete "$INSTDIR\MovraOPCProxy.dll"
    Delete "$INSTDIR\opc-client.exe"
    Delete "$INSTDIR\MovraOPCCheck.exe"
    RMDir /r "$INSTDIR\manual"
    Delete "$INSTDIR\Uninstall.exe"
    SetShellVarContext all
    RMDir /r "$SMPROGRAMS\${PRODUCT}"
    DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd

; The plant's data: kept unless asked for (unticked by default; /REMOVEDATA when silent).
Section /o "un.Configuration (MovraOPCServer.ini) and log.txt" UnSecData
    Delete "$INSTDIR\MovraOPCServer.ini"
    Delete "$INSTDIR\log.txt"
SectionEnd

Section "-un.Folder"
    RMDir "$INSTDIR"  ; only when nothing else is left in it
SectionEnd

Function un.onInit
    ${GetParameters} $0
    ClearErrors
    ${GetOptions} $0 "/REMOVEDATA" $1
    ${IfNot} ${Errors}
        SectionSetFlags ${UnSecData} ${SF_SELECTED}
    ${EndIf}
FunctionEnd
