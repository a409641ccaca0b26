<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de_DE">
<context>
    <name>AccessibleViews</name>
    <message>
        <source>%1%</source>
        <translation>%1 %</translation>
    </message>
    <message>
        <source>%1, %2</source>
        <translation>%1, %2</translation>
    </message>
    <message>
        <source>Play position</source>
        <translation>Wiedergabeposition</translation>
    </message>
    <message>
        <source>%1, keeping %2 to %3</source>
        <translation>%1, behalten wird %2 bis %3</translation>
    </message>
    <message>
        <source>Input level</source>
        <translation>Eingangspegel</translation>
    </message>
    <message>
        <source>%1 dB</source>
        <translation>%1 dB</translation>
    </message>
    <message>
        <source>silent</source>
        <translation>still</translation>
    </message>
    <message>
        <source>Recordings</source>
        <translation>Aufnahmen</translation>
    </message>
</context>
<context>
    <name>AppCommands</name>
    <message>
        <source>still starting</source>
        <translation>startet noch</translation>
    </message>
    <message>
        <source>the library is not available</source>
        <translation>die Bibliothek ist nicht verfügbar</translation>
    </message>
    <message>
        <source>already recording</source>
        <translation>nimmt bereits auf</translation>
    </message>
    <message>
        <source>not recording</source>
        <translation>keine Aufnahme läuft</translation>
    </message>
    <message>
        <source>already paused</source>
        <translation>bereits pausiert</translation>
    </message>
    <message>
        <source>not paused</source>
        <translation>nicht pausiert</translation>
    </message>
    <message>
        <source>the recording could not start</source>
        <translation>die Aufnahme konnte nicht starten</translation>
    </message>
    <message>
        <source>unknown command</source>
        <translation>unbekannter Befehl</translation>
    </message>
    <message>
        <source>not a time of day: %1 (HH:MM, or off)</source>
        <translation>keine Uhrzeit: %1 (HH:MM oder off)</translation>
    </message>
</context>
<context>
    <name>AppDelegate</name>
    <message>
        <source>%1 dB</source>
        <translation>%1 dB</translation>
    </message>
    <message>
        <source>silent</source>
        <translation>still</translation>
    </message>
    <message>
        <source>Input %1 · Computer %2</source>
        <translation>Eingang %1 · Computer %2</translation>
    </message>
    <message>
        <source>Stop Record</source>
        <translation>Aufnahme beenden</translation>
    </message>
    <message>
        <source>Start Record</source>
        <translation>Aufnahme starten</translation>
    </message>
    <message>
        <source>Recorded Time: %1</source>
        <translation>Aufnahmedauer: %1</translation>
    </message>
    <message>
        <source>Resume Recording</source>
        <translation>Aufnahme fortsetzen</translation>
    </message>
    <message>
        <source>Pause Recording</source>
        <translation>Aufnahme pausieren</translation>
    </message>
    <message>
        <source>Paused</source>
        <translation>Pausiert</translation>
    </message>
    <message>
        <source>%1 + computer&apos;s sound</source>
        <translation>%1 + Ton des Computers</translation>
    </message>
    <message>
        <source>Recording</source>
        <translation>Aufnahme</translation>
    </message>
    <message>
        <source>Recording saved</source>
        <translation>Aufnahme gespeichert</translation>
    </message>
    <message>
        <source>&lt;p&gt;TrayTape sits in the system tray with two icons: a &lt;b&gt;tape&lt;/b&gt; icon that opens its menu and shows a red dot while it records, and a small &lt;b&gt;level meter&lt;/b&gt; that shows the sound of the chosen input as it comes in.&lt;/p&gt;</source>
        <translation>&lt;p&gt;TrayTape sitzt mit zwei Symbolen im Systembereich der Kontrollleiste: einem &lt;b&gt;Band&lt;/b&gt;-Symbol, das sein Menü öffnet und während der Aufnahme einen roten Punkt zeigt, und einer kleinen &lt;b&gt;Pegelanzeige&lt;/b&gt;, die den Ton des gewählten Eingangs zeigt, während er ankommt.&lt;/p&gt;</translation>
    </message>
    <message>
        <source>&lt;p&gt;This desktop has no system tray, so TrayTape lives in its &lt;b&gt;recording panel&lt;/b&gt;: the panel&apos;s &lt;b&gt;Menu&lt;/b&gt; button opens TrayTape&apos;s menu, and its &lt;b&gt;level meter&lt;/b&gt; shows the sound of the chosen input as it comes in. Closed, the panel comes back when you start TrayTape again.&lt;/p&gt;</source>
        <translation>&lt;p&gt;Dieser Desktop hat keinen Systembereich, daher lebt TrayTape in seinem &lt;b&gt;Aufnahmefenster&lt;/b&gt;: Die Schaltfläche &lt;b&gt;Menü&lt;/b&gt; des Fensters öffnet das Menü von TrayTape, und seine &lt;b&gt;Pegelanzeige&lt;/b&gt; zeigt den Ton des gewählten Eingangs, während er ankommt. Geschlossen erscheint das Fenster wieder, wenn Sie TrayTape erneut starten.&lt;/p&gt;</translation>
    </message>
    <message>
        <source>the tape icon&apos;s menu</source>
        <translation>dem Menü des Band-Symbols</translation>
    </message>
    <message>
        <source>the panel&apos;s menu</source>
        <translation>dem Menü des Aufnahmefensters</translation>
    </message>
    <message>
        <source>&lt;h2&gt;TrayTape records sound from your tray&lt;/h2&gt;</source>
        <translation>&lt;h2&gt;TrayTape nimmt Ton auf, direkt aus dem Systembereich&lt;/h2&gt;</translation>
    </message>
    <message>
        <source>&lt;h2&gt;TrayTape records sound&lt;/h2&gt;</source>
        <translation>&lt;h2&gt;TrayTape nimmt Ton auf&lt;/h2&gt;</translation>
    </message>
    <message>
        <source>&lt;ol&gt;&lt;li&gt;Open &lt;b&gt;Preferences…&lt;/b&gt; from %1 and choose what to record from: a microphone, a line input, or &lt;b&gt;Computer&apos;s sound (what you hear)&lt;/b&gt; for the sound the computer itself plays.&lt;/li&gt;&lt;li&gt;Choose &lt;b&gt;Start Record&lt;/b&gt; in the menu, or press the red button on the recording panel.&lt;/li&gt;&lt;li&gt;Choose &lt;b&gt;Stop Record&lt;/b&gt; when you are done. The new file is shown in your file manager; it is never written over an older one.&lt;/li&gt;&lt;/ol&gt;&lt;p&gt;Recordings are saved in &lt;i&gt;Music/org.traytape.TrayTape&lt;/i&gt; in your home folder unless you choose another folder in Preferences. &lt;b&gt;TrayTape Help&lt;/b&gt; in the menu opens the full guide.&lt;/p&gt;</source>
        <translation>&lt;ol&gt;&lt;li&gt;Öffnen Sie &lt;b&gt;Einstellungen…&lt;/b&gt; aus %1 und wählen Sie, wovon aufgenommen wird: ein Mikrofon, ein Line-Eingang oder &lt;b&gt;Ton des Computers (was Sie hören)&lt;/b&gt; für den Ton, den der Computer selbst abspielt.&lt;/li&gt;&lt;li&gt;Wählen Sie &lt;b&gt;Aufnahme starten&lt;/b&gt; im Menü oder drücken Sie den roten Knopf im Aufnahmefenster.&lt;/li&gt;&lt;li&gt;Wählen Sie &lt;b&gt;Aufnahme beenden&lt;/b&gt;, wenn Sie fertig sind. Die neue Datei wird in Ihrem Dateimanager gezeigt; sie überschreibt nie eine ältere.&lt;/li&gt;&lt;/ol&gt;&lt;p&gt;Aufnahmen werden in &lt;i&gt;Music/org.traytape.TrayTape&lt;/i&gt; in Ihrem persönlichen Ordner gespeichert, sofern Sie in den Einstellungen keinen anderen Ordner wählen. &lt;b&gt;TrayTape-Hilfe&lt;/b&gt; im Menü öffnet die vollständige Anleitung.&lt;/p&gt;</translation>
    </message>
    <message>
        <source>Marker at %1</source>
        <translation>Marke bei %1</translation>
    </message>
    <message>
        <source>Start At…</source>
        <translation>Starten um…</translation>
    </message>
    <message>
        <source>Stop After</source>
        <translation>Stoppen nach</translation>
    </message>
    <message>
        <source>10 Minutes</source>
        <translation>10 Minuten</translation>
    </message>
    <message>
        <source>30 Minutes</source>
        <translation>30 Minuten</translation>
    </message>
    <message>
        <source>1 Hour</source>
        <translation>1 Stunde</translation>
    </message>
    <message>
        <source>2 Hours</source>
        <translation>2 Stunden</translation>
    </message>
    <message>
        <source>Don&apos;t Stop</source>
        <translation>Nicht stoppen</translation>
    </message>
    <message>
        <source>Cancel Start at %1</source>
        <translation>Start um %1 abbrechen</translation>
    </message>
    <message>
        <source>Stop at %1</source>
        <translation>Stopp um %1</translation>
    </message>
    <message>
        <source>Start Recording At</source>
        <translation>Aufnahme starten um</translation>
    </message>
    <message>
        <source>Waiting for sound</source>
        <translation>Warte auf Ton</translation>
    </message>
</context>
<context>
    <name>AppNotices</name>
    <message>
        <source>Recording could not start</source>
        <translation>Aufnahme konnte nicht starten</translation>
    </message>
    <message>
        <source>No input device could be opened. Connect a microphone, or check that the sound server is running, then choose the input in Preferences.</source>
        <translation>Kein Eingabegerät konnte geöffnet werden. Schließen Sie ein Mikrofon an oder prüfen Sie, ob der Soundserver läuft, und wählen Sie dann den Eingang in den Einstellungen.</translation>
    </message>
    <message>
        <source>The input device %1 is no longer available. Choose another input in Preferences.</source>
        <translation>Das Eingabegerät %1 ist nicht mehr verfügbar. Wählen Sie in den Einstellungen einen anderen Eingang.</translation>
    </message>
    <message>
        <source>in use</source>
        <translation>in Verwendung</translation>
    </message>
    <message>
        <source>Recording from another input</source>
        <translation>Aufnahme von einem anderen Eingang</translation>
    </message>
    <message>
        <source>%1 is gone: recording from %2</source>
        <translation>%1 ist nicht mehr da: Aufnahme von %2</translation>
    </message>
    <message>
        <source>the default input</source>
        <translation>dem Standardeingang</translation>
    </message>
    <message>
        <source>TrayTape could not create the file %1 (%2). Choose another folder in Preferences.</source>
        <translation>TrayTape konnte die Datei %1 nicht anlegen (%2). Wählen Sie in den Einstellungen einen anderen Ordner.</translation>
    </message>
    <message>
        <source>Recording stopped</source>
        <translation>Aufnahme beendet</translation>
    </message>
    <message>
        <source>The input device %1 is no longer available. The recording up to that moment is saved as %2.</source>
        <translation>Das Eingabegerät %1 ist nicht mehr verfügbar. Die Aufnahme bis zu diesem Moment ist als %2 gespeichert.</translation>
    </message>
    <message>
        <source>TrayTape could not write to %1 (%2). What was recorded before is kept.</source>
        <translation>TrayTape konnte nicht in %1 schreiben (%2). Was zuvor aufgenommen wurde, bleibt erhalten.</translation>
    </message>
    <message>
        <source>The file %1 was removed while recording: the take is lost.</source>
        <translation>Die Datei %1 wurde während der Aufnahme entfernt: Die Aufnahme ist verloren.</translation>
    </message>
    <message>
        <source>Recording moved</source>
        <translation>Aufnahme verschoben</translation>
    </message>
    <message>
        <source>The file being recorded was moved: recording continues at %1</source>
        <translation>Die Datei, in die aufgenommen wird, wurde verschoben: Die Aufnahme geht in %1 weiter</translation>
    </message>
    <message>
        <source>Recording incomplete</source>
        <translation>Aufnahme unvollständig</translation>
    </message>
    <message>
        <source>TrayTape could not finish writing %1; the end of the recording may be missing.</source>
        <translation>TrayTape konnte %1 nicht fertig schreiben; das Ende der Aufnahme fehlt womöglich.</translation>
    </message>
    <message>
        <source>Audio lost</source>
        <translation>Ton verloren</translation>
    </message>
    <message>
        <source>%1 s of audio were lost</source>
        <translation>%1 s Ton sind verloren gegangen</translation>
    </message>
    <message>
        <source>Input muted</source>
        <translation>Eingang stummgeschaltet</translation>
    </message>
    <message>
        <source>%1 is muted: the recording will be silent</source>
        <translation>%1 ist stummgeschaltet: Die Aufnahme wird still sein</translation>
    </message>
    <message>
        <source>Recording silence</source>
        <translation>Stille wird aufgenommen</translation>
    </message>
    <message>
        <source>TrayTape is recording silence from %1</source>
        <translation>TrayTape nimmt Stille von %1 auf</translation>
    </message>
    <message>
        <source>its name is not valid text in this system&apos;s encoding</source>
        <translation>sein Name ist kein gültiger Text in der Zeichenkodierung dieses Systems</translation>
    </message>
    <message>
        <source>it is not a folder TrayTape can find</source>
        <translation>es ist kein Ordner, den TrayTape finden kann</translation>
    </message>
    <message>
        <source>Save folder not changed</source>
        <translation>Speicherordner nicht geändert</translation>
    </message>
    <message>
        <source>TrayTape cannot save into %1: %2. New recordings still go to %3.</source>
        <translation>TrayTape kann nicht in %1 speichern: %2. Neue Aufnahmen landen weiterhin in %3.</translation>
    </message>
    <message>
        <source>Save folder cannot be used</source>
        <translation>Speicherordner nicht verwendbar</translation>
    </message>
    <message>
        <source>The name of the folder %1 is not valid text in this system&apos;s encoding, so TrayTape cannot save into it. New recordings go to %2 until you rename it or choose another folder in Preferences.</source>
        <translation>Der Name des Ordners %1 ist kein gültiger Text in der Zeichenkodierung dieses Systems, daher kann TrayTape nicht darin speichern. Neue Aufnahmen landen in %2, bis Sie ihn umbenennen oder in den Einstellungen einen anderen Ordner wählen.</translation>
    </message>
    <message>
        <source>Save folder not found</source>
        <translation>Speicherordner nicht gefunden</translation>
    </message>
    <message>
        <source>The folder %1 no longer exists. New recordings go to %2 until you choose another folder in Preferences.</source>
        <translation>Der Ordner %1 existiert nicht mehr. Neue Aufnahmen landen in %2, bis Sie in den Einstellungen einen anderen Ordner wählen.</translation>
    </message>
    <message>
        <source>%1 has played nothing for %2 s</source>
        <translation>%1 hat seit %2 s nichts abgespielt</translation>
    </message>
    <message>
        <source>Recording without a source&apos;s own file</source>
        <translation>Aufnahme ohne die eigene Datei einer Quelle</translation>
    </message>
    <message>
        <source>TrayTape could not create the file %1 (%2). The mix is recorded without it.</source>
        <translation>TrayTape konnte die Datei %1 nicht anlegen (%2). Die Mischung wird ohne sie aufgenommen.</translation>
    </message>
</context>
<context>
    <name>AudioItemView</name>
    <message>
        <source>Remove from the list</source>
        <translation>Aus der Liste entfernen</translation>
    </message>
    <message>
        <source>Remove %1 from the list</source>
        <translation>%1 aus der Liste entfernen</translation>
    </message>
    <message>
        <source>Show in File Manager</source>
        <translation>Im Dateimanager anzeigen</translation>
    </message>
    <message>
        <source>Move to Trash</source>
        <translation>In den Papierkorb verschieben</translation>
    </message>
    <message>
        <source>Add Recordings…</source>
        <translation>Aufnahmen hinzufügen…</translation>
    </message>
</context>
<context>
    <name>AudioLibraryStore</name>
    <message>
        <source>%1 is read-only</source>
        <translation>%1 ist schreibgeschützt</translation>
    </message>
    <message>
        <source>%1 is not a folder</source>
        <translation>%1 ist kein Ordner</translation>
    </message>
    <message>
        <source>The library list could not be moved to %1 (%2); it stays in the settings.</source>
        <translation>Die Bibliotheksliste konnte nicht nach %1 verschoben werden (%2); sie bleibt in den Einstellungen.</translation>
    </message>
    <message>
        <source>The library list %1 cannot be read (%2); recordings added now are listed until TrayTape quits.</source>
        <translation>Die Bibliotheksliste %1 kann nicht gelesen werden (%2); jetzt hinzugefügte Aufnahmen werden aufgeführt, bis TrayTape beendet wird.</translation>
    </message>
    <message>
        <source>not a regular file</source>
        <translation>keine reguläre Datei</translation>
    </message>
    <message>
        <source>written by a later version of TrayTape</source>
        <translation>von einer neueren Version von TrayTape geschrieben</translation>
    </message>
    <message>
        <source>not a library list</source>
        <translation>keine Bibliotheksliste</translation>
    </message>
    <message>
        <source>The library list could not be stored in %1 (%2).</source>
        <translation>Die Bibliotheksliste konnte nicht in %1 gespeichert werden (%2).</translation>
    </message>
</context>
<context>
    <name>AudioLibraryWnd</name>
    <message>
        <source>TrayTape Library</source>
        <translation>TrayTape-Bibliothek</translation>
    </message>
    <message>
        <source>Loudness of the recording; click to play from there</source>
        <translation>Lautstärke der Aufnahme; klicken, um ab dort abzuspielen</translation>
    </message>
    <message>
        <source>Start the kept part at the play position</source>
        <translation>Den behaltenen Teil an der Wiedergabeposition beginnen lassen</translation>
    </message>
    <message>
        <source>Set Start</source>
        <translation>Anfang setzen</translation>
    </message>
    <message>
        <source>Start of the kept part</source>
        <translation>Anfang des behaltenen Teils</translation>
    </message>
    <message>
        <source>Play position / length</source>
        <translation>Wiedergabeposition / Länge</translation>
    </message>
    <message>
        <source>End of the kept part</source>
        <translation>Ende des behaltenen Teils</translation>
    </message>
    <message>
        <source>End the kept part at the play position</source>
        <translation>Den behaltenen Teil an der Wiedergabeposition enden lassen</translation>
    </message>
    <message>
        <source>Set End</source>
        <translation>Ende setzen</translation>
    </message>
    <message>
        <source>Play or pause (Space)</source>
        <translation>Abspielen oder pausieren (Leertaste)</translation>
    </message>
    <message>
        <source>Preview the kept part with its fades, over and over</source>
        <translation>Den behaltenen Teil mit seinen Blenden immer wieder probehören</translation>
    </message>
    <message>
        <source>Fade in (s):</source>
        <translation>Einblenden (s):</translation>
    </message>
    <message>
        <source>Seconds of fade-in after the start, 0 to 5</source>
        <translation>Sekunden der Einblendung nach dem Anfang, 0 bis 5</translation>
    </message>
    <message>
        <source>Fade out (s):</source>
        <translation>Ausblenden (s):</translation>
    </message>
    <message>
        <source>Seconds of fade-out before the end, 0 to 5</source>
        <translation>Sekunden der Ausblendung vor dem Ende, 0 bis 5</translation>
    </message>
    <message>
        <source>Save the kept part with its fades as a new file</source>
        <translation>Den behaltenen Teil mit seinen Blenden als neue Datei speichern</translation>
    </message>
    <message>
        <source>Export…</source>
        <translation>Exportieren…</translation>
    </message>
    <message>
        <source>Library not stored</source>
        <translation>Bibliothek nicht gespeichert</translation>
    </message>
    <message>
        <source>Library list partly unreadable</source>
        <translation>Bibliotheksliste teilweise unlesbar</translation>
    </message>
    <message numerus="yes">
        <source>%n line(s) of %1 name no recording TrayTape can read; they are kept there as they are.</source>
        <translation>
            <numerusform>%n Zeile in %1 nennt keine Aufnahme, die TrayTape lesen kann; sie bleibt dort unverändert erhalten.</numerusform>
            <numerusform>%n Zeilen in %1 nennen keine Aufnahme, die TrayTape lesen kann; sie bleiben dort unverändert erhalten.</numerusform>
        </translation>
    </message>
    <message>
        <source>Exporting</source>
        <translation>Wird exportiert</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Abbrechen</translation>
    </message>
    <message>
        <source>Stop the export; nothing is written</source>
        <translation>Den Export abbrechen; nichts wird geschrieben</translation>
    </message>
    <message>
        <source>Add Recordings…</source>
        <translation>Aufnahmen hinzufügen…</translation>
    </message>
    <message>
        <source>Undo</source>
        <translation>Rückgängig</translation>
    </message>
    <message>
        <source>Put the row back (Ctrl+Z)</source>
        <translation>Die Zeile zurückholen (Strg+Z)</translation>
    </message>
    <message>
        <source>%1 was removed from the list.</source>
        <translation>%1 wurde aus der Liste entfernt.</translation>
    </message>
    <message>
        <source>Not moved to the Trash</source>
        <translation>Nicht in den Papierkorb verschoben</translation>
    </message>
    <message>
        <source>%1 could not be moved to the Trash: %2.</source>
        <translation>%1 konnte nicht in den Papierkorb verschoben werden: %2.</translation>
    </message>
    <message>
        <source>Recordings (*.wav *.m4a *.caf *.aac *.mp3 *.flac *.ogg *.opus *.aif *.aiff)</source>
        <translation>Aufnahmen (*.wav *.m4a *.caf *.aac *.mp3 *.flac *.ogg *.opus *.aif *.aiff)</translation>
    </message>
    <message>
        <source>All files (*)</source>
        <translation>Alle Dateien (*)</translation>
    </message>
    <message>
        <source>Not added</source>
        <translation>Nicht hinzugefügt</translation>
    </message>
    <message numerus="yes">
        <source>%1: no audio TrayTape can play.</source>
        <translation>
            <numerusform>%1: enthält keinen Ton, den TrayTape abspielen kann.</numerusform>
            <numerusform>%1: enthalten keinen Ton, den TrayTape abspielen kann.</numerusform>
        </translation>
    </message>
    <message>
        <source>Nothing to export</source>
        <translation>Nichts zu exportieren</translation>
    </message>
    <message>
        <source>The trimmed range holds no audio: move the trim start before the trim end. No file was written.</source>
        <translation>Der zugeschnittene Bereich enthält keinen Ton: Setzen Sie den Anfang vor das Ende. Es wurde keine Datei geschrieben.</translation>
    </message>
    <message>
        <source>Export incomplete</source>
        <translation>Export unvollständig</translation>
    </message>
    <message>
        <source>%1 could not be read to its end; %2 holds the part before that.</source>
        <translation>%1 konnte nicht bis zum Ende gelesen werden; %2 enthält den Teil davor.</translation>
    </message>
    <message>
        <source>Export failed</source>
        <translation>Export fehlgeschlagen</translation>
    </message>
    <message>
        <source>%1 could not be read; nothing was exported.</source>
        <translation>%1 konnte nicht gelesen werden; nichts wurde exportiert.</translation>
    </message>
    <message>
        <source>A recording cannot be exported onto itself; %1 was left as it is.</source>
        <translation>Eine Aufnahme kann nicht auf sich selbst exportiert werden; %1 bleibt unverändert.</translation>
    </message>
    <message>
        <source>%1 is being recorded: choose another file. The recording goes on.</source>
        <translation>In %1 wird gerade aufgenommen: Wählen Sie eine andere Datei. Die Aufnahme läuft weiter.</translation>
    </message>
    <message>
        <source>%1 could not be created (%2).</source>
        <translation>%1 konnte nicht angelegt werden (%2).</translation>
    </message>
    <message>
        <source>Writing %1 failed (%2); nothing there was changed.</source>
        <translation>Schreiben von %1 fehlgeschlagen (%2); dort wurde nichts geändert.</translation>
    </message>
    <message>
        <source>Normalise loudness</source>
        <translation>Lautheit normalisieren</translation>
    </message>
    <message>
        <source>Measure the loudness (EBU R128) and bring it to the target with one gain; true peaks are kept below -1 dBTP</source>
        <translation>Die Lautheit messen (EBU R128) und mit einer Verstärkung auf den Zielwert bringen; echte Spitzen bleiben unter -1 dBTP</translation>
    </message>
    <message>
        <source> LUFS</source>
        <translation> LUFS</translation>
    </message>
    <message>
        <source>Loudness target</source>
        <translation>Ziellautheit</translation>
    </message>
    <message>
        <source>The range is silent: no gain was applied. True peak %1 dBTP.</source>
        <translation>Der Bereich ist still: Es wurde keine Verstärkung angewandt. Echte Spitze %1 dBTP.</translation>
    </message>
    <message>
        <source>Loudness %1 LUFS, gain %2 dB, true peak %3 dBTP.</source>
        <translation>Lautheit %1 LUFS, Verstärkung %2 dB, echte Spitze %3 dBTP.</translation>
    </message>
    <message>
        <source>Exported</source>
        <translation>Exportiert</translation>
    </message>
    <message>
        <source>Remove from the List</source>
        <translation>Aus der Liste entfernen</translation>
    </message>
    <message>
        <source>Also remove the files of each source of %1 from the list?</source>
        <translation>Auch die Dateien der einzelnen Quellen von %1 aus der Liste entfernen?</translation>
    </message>
    <message>
        <source>The files stay on the disk either way.</source>
        <translation>Die Dateien bleiben in jedem Fall auf dem Datenträger.</translation>
    </message>
    <message>
        <source>Remove Them Too</source>
        <translation>Auch entfernen</translation>
    </message>
    <message>
        <source>Keep Them Listed</source>
        <translation>In der Liste behalten</translation>
    </message>
</context>
<context>
    <name>AudioRowPool</name>
    <message>
        <source>measuring…</source>
        <translation>wird gemessen…</translation>
    </message>
    <message>
        <source>%1, part %2 of %3</source>
        <translation>%1, Teil %2 von %3</translation>
    </message>
    <message>
        <source>%1, the input alone</source>
        <translation>%1, nur der Eingang</translation>
    </message>
    <message>
        <source>%1, the computer&apos;s sound alone</source>
        <translation>%1, nur der Ton des Computers</translation>
    </message>
    <message>
        <source>%1, the application alone</source>
        <translation>%1, nur die Anwendung</translation>
    </message>
</context>
<context>
    <name>ConfigAudioWndController</name>
    <message>
        <source>Computer&apos;s sound (what you hear)</source>
        <translation>Ton des Computers (was Sie hören)</translation>
    </message>
    <message>
        <source>Default input</source>
        <translation>Standardeingang</translation>
    </message>
    <message>
        <source>Default input (%1)</source>
        <translation>Standardeingang (%1)</translation>
    </message>
    <message>
        <source>Choose the folder for new recordings</source>
        <translation>Ordner für neue Aufnahmen wählen</translation>
    </message>
    <message>
        <source>44.1 kHz</source>
        <translation>44,1 kHz</translation>
    </message>
    <message>
        <source>48 kHz</source>
        <translation>48 kHz</translation>
    </message>
    <message>
        <source>Source&apos;s rate</source>
        <translation>Rate der Quelle</translation>
    </message>
    <message>
        <source>Stereo</source>
        <translation>Stereo</translation>
    </message>
    <message>
        <source>Mono</source>
        <translation>Mono</translation>
    </message>
    <message>
        <source>16-bit</source>
        <translation>16 Bit</translation>
    </message>
    <message>
        <source>24-bit</source>
        <translation>24 Bit</translation>
    </message>
    <message>
        <source>32-bit</source>
        <translation>32 Bit</translation>
    </message>
    <message>
        <source>32-bit float</source>
        <translation>32 Bit Gleitkomma</translation>
    </message>
    <message>
        <source>Automatic bit rate</source>
        <translation>Automatische Bitrate</translation>
    </message>
    <message>
        <source>%1 kb/s</source>
        <translation>%1 kbit/s</translation>
    </message>
    <message>
        <source>Application: %1</source>
        <translation>Anwendung: %1</translation>
    </message>
</context>
<context>
    <name>ConfigWnd</name>
    <message>
        <source>TrayTape Preferences</source>
        <translation>TrayTape-Einstellungen</translation>
    </message>
    <message>
        <source>Record from:</source>
        <translation>Aufnehmen von:</translation>
    </message>
    <message>
        <source>The microphone or input to record. Choose &quot;Computer&apos;s sound (what you hear)&quot; to record what the computer plays.</source>
        <translation>Das Mikrofon oder der Eingang für die Aufnahme. Wählen Sie „Ton des Computers (was Sie hören)“, um aufzunehmen, was der Computer abspielt.</translation>
    </message>
    <message>
        <source>Also record the computer&apos;s sound</source>
        <translation>Auch den Ton des Computers aufnehmen</translation>
    </message>
    <message>
        <source>Mixes what you hear into the recording, each at its own level</source>
        <translation>Mischt, was Sie hören, in die Aufnahme, jedes mit seinem eigenen Pegel</translation>
    </message>
    <message>
        <source>Format:</source>
        <translation>Format:</translation>
    </message>
    <message>
        <source>Save to:</source>
        <translation>Speichern in:</translation>
    </message>
    <message>
        <source>Choose Folder…</source>
        <translation>Ordner wählen…</translation>
    </message>
    <message>
        <source>Show Folder</source>
        <translation>Ordner anzeigen</translation>
    </message>
    <message>
        <source>Start TrayTape when I log in</source>
        <translation>TrayTape bei der Anmeldung starten</translation>
    </message>
    <message>
        <source>Show each new recording in the file manager</source>
        <translation>Jede neue Aufnahme im Dateimanager anzeigen</translation>
    </message>
    <message>
        <source>How do I record the computer&apos;s own sound?</source>
        <translation>Wie nehme ich den Ton des Computers selbst auf?</translation>
    </message>
    <message>
        <source>Listen when not recording (tray meter, pre-roll)</source>
        <translation>Auch zwischen den Aufnahmen zuhören (Pegelanzeige, Vorlauf)</translation>
    </message>
    <message>
        <source>Off, the input is opened only while recording: the desktop shows no microphone in use and a headset keeps its best sound profile, but the tray meter rests until a recording starts.</source>
        <translation>Aus: Der Eingang ist nur während einer Aufnahme geöffnet. Der Desktop zeigt dann kein Mikrofon als belegt an und ein Headset behält sein bestes Klangprofil, aber die Pegelanzeige ruht, bis eine Aufnahme beginnt.</translation>
    </message>
    <message>
        <source>Sample rate</source>
        <translation>Abtastrate</translation>
    </message>
    <message>
        <source>Channels</source>
        <translation>Kanäle</translation>
    </message>
    <message>
        <source>Bit depth</source>
        <translation>Bittiefe</translation>
    </message>
    <message>
        <source>Bit rate</source>
        <translation>Bitrate</translation>
    </message>
    <message>
        <source>Split:</source>
        <translation>Teilen:</translation>
    </message>
    <message>
        <source>Cuts a long recording into parts of this length, &quot;NAME 001&quot;, &quot;NAME 002&quot;…, which join without a gap</source>
        <translation>Teilt eine lange Aufnahme in Teile dieser Länge, „NAME 001“, „NAME 002“…, die lückenlos aneinanderpassen</translation>
    </message>
    <message>
        <source>One file</source>
        <translation>Eine Datei</translation>
    </message>
    <message>
        <source>Every 15 minutes</source>
        <translation>Alle 15 Minuten</translation>
    </message>
    <message>
        <source>Every 30 minutes</source>
        <translation>Alle 30 Minuten</translation>
    </message>
    <message>
        <source>Every hour</source>
        <translation>Jede Stunde</translation>
    </message>
    <message>
        <source>Every 2 hours</source>
        <translation>Alle 2 Stunden</translation>
    </message>
    <message>
        <source>Pre-roll:</source>
        <translation>Vorlauf:</translation>
    </message>
    <message>
        <source>Keep the last</source>
        <translation>Die letzten</translation>
    </message>
    <message>
        <source>seconds before Record</source>
        <translation>Sekunden vor der Aufnahme behalten</translation>
    </message>
    <message>
        <source>On sound:</source>
        <translation>Bei Ton:</translation>
    </message>
    <message>
        <source>Start at</source>
        <translation>Beginnen bei</translation>
    </message>
    <message>
        <source>stop after</source>
        <translation>enden nach</translation>
    </message>
    <message>
        <source>Seconds below the level that end a take; 0 records until you stop.</source>
        <translation>Sekunden unter dem Pegel, nach denen eine Aufnahme endet; bei 0 läuft sie, bis Sie sie beenden.</translation>
    </message>
    <message>
        <source>of silence</source>
        <translation>Stille</translation>
    </message>
    <message>
        <source>Also keep each source in its own file</source>
        <translation>Jede Quelle auch in einer eigenen Datei behalten</translation>
    </message>
    <message>
        <source>Beside the mix, the input and the computer&apos;s sound each in a file of its own (NAME.input and NAME.system), as loud as they came in</source>
        <translation>Neben der Mischung der Eingang und der Ton des Computers je in einer eigenen Datei (NAME.input und NAME.system), so laut, wie sie ankamen</translation>
    </message>
</context>
<context>
    <name>EngineWords</name>
    <message>
        <source>no such folder</source>
        <translation>Ordner existiert nicht</translation>
    </message>
    <message>
        <source>permission denied</source>
        <translation>Zugriff verweigert</translation>
    </message>
    <message>
        <source>not a regular file</source>
        <translation>keine reguläre Datei</translation>
    </message>
    <message>
        <source>the disk is full</source>
        <translation>der Datenträger ist voll</translation>
    </message>
    <message>
        <source>format not supported</source>
        <translation>Format nicht unterstützt</translation>
    </message>
    <message>
        <source>name too long</source>
        <translation>Name zu lang</translation>
    </message>
    <message>
        <source>path too long</source>
        <translation>Pfad zu lang</translation>
    </message>
    <message>
        <source>its hidden file was replaced by another program while it was written; nothing was put in place</source>
        <translation>seine versteckte Datei wurde während des Schreibens von einem anderen Programm ersetzt; nichts wurde an ihre Stelle gesetzt</translation>
    </message>
    <message>
        <source>the folder belongs to another user</source>
        <translation>der Ordner gehört einem anderen Benutzer</translation>
    </message>
    <message>
        <source>stopped before any audio arrived; no file was kept</source>
        <translation>beendet, bevor Ton ankam; keine Datei wurde behalten</translation>
    </message>
    <message>
        <source>cancelled; no file was kept</source>
        <translation>abgebrochen; keine Datei wurde behalten</translation>
    </message>
    <message>
        <source>write-protected</source>
        <translation>schreibgeschützt</translation>
    </message>
    <message>
        <source>MPEG-4 audio</source>
        <translation>MPEG-4-Audio</translation>
    </message>
    <message>
        <source>WAVE audio</source>
        <translation>WAVE-Audio</translation>
    </message>
    <message>
        <source>Core Audio Format</source>
        <translation>Core Audio Format</translation>
    </message>
    <message>
        <source>FLAC audio</source>
        <translation>FLAC-Audio</translation>
    </message>
    <message>
        <source>Opus audio</source>
        <translation>Opus-Audio</translation>
    </message>
    <message>
        <source>Ogg Vorbis audio</source>
        <translation>Ogg-Vorbis-Audio</translation>
    </message>
    <message>
        <source>MP3 audio</source>
        <translation>MP3-Audio</translation>
    </message>
</context>
<context>
    <name>MainMenu</name>
    <message>
        <source>Welcome to TrayTape</source>
        <translation>Willkommen bei TrayTape</translation>
    </message>
    <message>
        <source>Show this window when TrayTape starts</source>
        <translation>Dieses Fenster beim Start von TrayTape zeigen</translation>
    </message>
    <message>
        <source>Close</source>
        <translation>Schließen</translation>
    </message>
    <message>
        <source>TrayTape Recording</source>
        <translation>TrayTape-Aufnahme</translation>
    </message>
    <message>
        <source>Start or stop a recording</source>
        <translation>Eine Aufnahme starten oder beenden</translation>
    </message>
    <message>
        <source>Pause Recording</source>
        <translation>Aufnahme pausieren</translation>
    </message>
    <message>
        <source>Start Record</source>
        <translation>Aufnahme starten</translation>
    </message>
    <message>
        <source>The input this panel records</source>
        <translation>Der Eingang, den dieses Fenster aufnimmt</translation>
    </message>
    <message>
        <source>Input level</source>
        <translation>Eingangspegel</translation>
    </message>
    <message>
        <source>The two parts of the recording, each at its own level</source>
        <translation>Die beiden Teile der Aufnahme, jeder mit seinem eigenen Pegel</translation>
    </message>
    <message>
        <source>Open this panel when TrayTape starts</source>
        <translation>Dieses Fenster beim Start von TrayTape öffnen</translation>
    </message>
    <message>
        <source>Recorded Time: 00:00:00</source>
        <translation>Aufnahmedauer: 00:00:00</translation>
    </message>
    <message>
        <source>Recording Panel</source>
        <translation>Aufnahmefenster</translation>
    </message>
    <message>
        <source>Library</source>
        <translation>Bibliothek</translation>
    </message>
    <message>
        <source>Preferences…</source>
        <translation>Einstellungen…</translation>
    </message>
    <message>
        <source>TrayTape Help</source>
        <translation>TrayTape-Hilfe</translation>
    </message>
    <message>
        <source>Support Website</source>
        <translation>Support-Website</translation>
    </message>
    <message>
        <source>Quit TrayTape</source>
        <translation>TrayTape beenden</translation>
    </message>
    <message>
        <source>Add Marker</source>
        <translation>Marke setzen</translation>
    </message>
    <message>
        <source>Add Marker (M)</source>
        <translation>Marke setzen (M)</translation>
    </message>
    <message>
        <source>Record When Sound Starts</source>
        <translation>Aufnehmen, sobald Ton kommt</translation>
    </message>
</context>
<context>
    <name>NotificationActions</name>
    <message>
        <source>Open</source>
        <translation>Öffnen</translation>
    </message>
    <message>
        <source>Show in File Manager</source>
        <translation>Im Dateimanager anzeigen</translation>
    </message>
</context>
<context>
    <name>SingleInstance</name>
    <message>
        <source>TrayTape is not running (%1 is not a lock file)</source>
        <translation>TrayTape läuft nicht (%1 ist keine Sperrdatei)</translation>
    </message>
    <message>
        <source>TrayTape is running but does not answer</source>
        <translation>TrayTape läuft, antwortet aber nicht</translation>
    </message>
    <message>
        <source>TrayTape is not running</source>
        <translation>TrayTape läuft nicht</translation>
    </message>
    <message>
        <source>TrayTape did not answer</source>
        <translation>TrayTape hat nicht geantwortet</translation>
    </message>
    <message>
        <source>unknown command</source>
        <translation>unbekannter Befehl</translation>
    </message>
    <message>
        <source>not ready</source>
        <translation>nicht bereit</translation>
    </message>
</context>
<context>
    <name>SleepInhibitor</name>
    <message>
        <source>TrayTape is recording</source>
        <translation>TrayTape nimmt auf</translation>
    </message>
</context>
<context>
    <name>Trash</name>
    <message>
        <source>it is not a file that is there</source>
        <translation>es ist keine vorhandene Datei</translation>
    </message>
    <message>
        <source>it is on another disk than the Trash</source>
        <translation>sie liegt auf einem anderen Datenträger als der Papierkorb</translation>
    </message>
    <message>
        <source>the Trash holds too many files of that name</source>
        <translation>der Papierkorb enthält zu viele Dateien dieses Namens</translation>
    </message>
</context>
<context>
    <name>TrayIcons</name>
    <message>
        <source>Menu</source>
        <translation>Menü</translation>
    </message>
    <message>
        <source>TrayTape menu</source>
        <translation>TrayTape-Menü</translation>
    </message>
    <message>
        <source>TrayTape input level</source>
        <translation>TrayTape-Eingangspegel</translation>
    </message>
</context>
</TS>
