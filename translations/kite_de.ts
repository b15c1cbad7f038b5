<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de">
<context>
    <name>DirSelectDialog</name>
    <message>
        <source>Select Directory</source>
        <translation>Verzeichnis auswählen</translation>
    </message>
    <message>
        <source>&lt;html&gt;&lt;head/&gt;&lt;body&gt;&lt;p&gt;&lt;span style=&quot; font-weight:600;&quot;&gt;Jobname&lt;/span&gt;&lt;/p&gt;&lt;/body&gt;&lt;/html&gt;</source>
        <translation>&lt;html&gt;&lt;head/&gt;&lt;body&gt;&lt;p&gt;&lt;span style=&quot; font-weight:600;&quot;&gt;Jobname&lt;/span&gt;&lt;/p&gt;&lt;/body&gt;&lt;/html&gt;</translation>
    </message>
    <message>
        <source>Output directory of scene not found,  please select a directory.</source>
        <translation>Ausgabeverzeichnis der Szene nicht gefunden, bitte wählen Sie ein Verzeichnis.</translation>
    </message>
    <message>
        <source>After 120 Seconds a default directory will be selected.</source>
        <translation>Nach 120 Sekunden wird ein Standardverzeichnis gewählt.</translation>
    </message>
    <message>
        <source>Retry</source>
        <translation>Wiederholen</translation>
    </message>
    <message>
        <source>Default Dir</source>
        <translation>Standardverzeichnis</translation>
    </message>
    <message>
        <source>Select...</source>
        <translation>Auswählen...</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Abbrechen</translation>
    </message>
    <message>
        <source>Download of output files failed several times. </source>
        <translation>Der Download der Ausgabedateien ist mehrmals fehlgeschlagen. </translation>
    </message>
    <message>
        <source>Make sure you have write permissions in target directory</source>
        <translation>Stellen Sie sicher, dass Sie Schreibrechte im Zielverzeichnis haben</translation>
    </message>
</context>
<context>
    <name>ErrorMessage</name>
    <message>
        <source>Overwrite One</source>
        <translation>Diese überschreiben</translation>
    </message>
    <message>
        <source>Overwrite All</source>
        <translation>Alle überschreiben</translation>
    </message>
    <message>
        <source>Skip One</source>
        <translation>Diese überspringen</translation>
    </message>
    <message>
        <source>Skip All</source>
        <translation>Alle überspringen</translation>
    </message>
</context>
<context>
    <name>ErrorMessageDialog</name>
    <message>
        <source>Error Message</source>
        <translation>Fehlermeldung</translation>
    </message>
    <message>
        <source>&lt;html&gt;&lt;head/&gt;&lt;body&gt;&lt;p&gt;&lt;span style=&quot; font-weight:600;&quot;&gt;Title&lt;/span&gt;&lt;/p&gt;&lt;/body&gt;&lt;/html&gt;</source>
        <translation>&lt;html&gt;&lt;head/&gt;&lt;body&gt;&lt;p&gt;&lt;span style=&quot; font-weight:600;&quot;&gt;Titel&lt;/span&gt;&lt;/p&gt;&lt;/body&gt;&lt;/html&gt;</translation>
    </message>
    <message>
        <source>Retry</source>
        <translation>Wiederholen</translation>
    </message>
    <message>
        <source>Close</source>
        <translation>Schließen</translation>
    </message>
    <message>
        <source>Network Settings</source>
        <translation>Netzwerkeinstellungen</translation>
    </message>
    <message>
        <source>Upload Log Files</source>
        <translation>Logdateien hochladen</translation>
    </message>
    <message>
        <source>Support Ticket</source>
        <translation>Support-Ticket</translation>
    </message>
    <message>
        <source>Log Files Sent</source>
        <translation>Logdateien gesendet</translation>
    </message>
</context>
</TS>
