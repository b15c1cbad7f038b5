' The reference host's shortcut script, run by the console script host as
'   cscript.exe createKiteLink.vbs 0 <link> <target> <icon>
' from the host's folder. Writes the shell link <link> to the folder <target>
' with the first icon in <icon> (none when empty). The first argument is the kind
' of shortcut; 0, the job's output folder, is the only kind.
Option Explicit

Dim args, shell, link
Set args = WScript.Arguments
If args.Count < 3 Then
    WScript.Echo "usage: createKiteLink.vbs 0 <link> <target> <icon>"
    WScript.Quit 2
End If

Set shell = CreateObject("WScript.Shell")
Set link = shell.CreateShortcut(args(1))
link.TargetPath = args(2)
If args.Count > 3 Then
    If Len(args(3)) > 0 Then link.IconLocation = args(3) & ",0"
End If
link.Save
WScript.Quit 0
