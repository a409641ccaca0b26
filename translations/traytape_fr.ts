<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="fr_FR">
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
        <translation>Position de lecture</translation>
    </message>
    <message>
        <source>%1, keeping %2 to %3</source>
        <translation>%1, conservé de %2 à %3</translation>
    </message>
    <message>
        <source>Input level</source>
        <translation>Niveau d&apos;entrée</translation>
    </message>
    <message>
        <source>%1 dB</source>
        <translation>%1 dB</translation>
    </message>
    <message>
        <source>silent</source>
        <translation>silencieux</translation>
    </message>
    <message>
        <source>Recordings</source>
        <translation>Enregistrements</translation>
    </message>
</context>
<context>
    <name>AppCommands</name>
    <message>
        <source>still starting</source>
        <translation>encore en cours de démarrage</translation>
    </message>
    <message>
        <source>the library is not available</source>
        <translation>la bibliothèque n&apos;est pas disponible</translation>
    </message>
    <message>
        <source>already recording</source>
        <translation>enregistrement déjà en cours</translation>
    </message>
    <message>
        <source>not recording</source>
        <translation>aucun enregistrement en cours</translation>
    </message>
    <message>
        <source>already paused</source>
        <translation>déjà en pause</translation>
    </message>
    <message>
        <source>not paused</source>
        <translation>n&apos;est pas en pause</translation>
    </message>
    <message>
        <source>the recording could not start</source>
        <translation>l&apos;enregistrement n&apos;a pas pu démarrer</translation>
    </message>
    <message>
        <source>unknown command</source>
        <translation>commande inconnue</translation>
    </message>
    <message>
        <source>not a time of day: %1 (HH:MM, or off)</source>
        <translation>pas une heure : %1 (HH:MM, ou off)</translation>
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
        <translation>silence</translation>
    </message>
    <message>
        <source>Input %1 · Computer %2</source>
        <translation>Entrée %1 · Ordinateur %2</translation>
    </message>
    <message>
        <source>Stop Record</source>
        <translation>Arrêter l&apos;enregistrement</translation>
    </message>
    <message>
        <source>Start Record</source>
        <translation>Démarrer l&apos;enregistrement</translation>
    </message>
    <message>
        <source>Recorded Time: %1</source>
        <translation>Durée enregistrée&#xa0;: %1</translation>
    </message>
    <message>
        <source>Resume Recording</source>
        <translation>Reprendre l&apos;enregistrement</translation>
    </message>
    <message>
        <source>Pause Recording</source>
        <translation>Mettre l&apos;enregistrement en pause</translation>
    </message>
    <message>
        <source>Paused</source>
        <translation>En pause</translation>
    </message>
    <message>
        <source>%1 + computer&apos;s sound</source>
        <translation>%1 + son de l&apos;ordinateur</translation>
    </message>
    <message>
        <source>Recording</source>
        <translation>Enregistrement</translation>
    </message>
    <message>
        <source>Recording saved</source>
        <translation>Enregistrement sauvegardé</translation>
    </message>
    <message>
        <source>&lt;p&gt;TrayTape sits in the system tray with two icons: a &lt;b&gt;tape&lt;/b&gt; icon that opens its menu and shows a red dot while it records, and a small &lt;b&gt;level meter&lt;/b&gt; that shows the sound of the chosen input as it comes in.&lt;/p&gt;</source>
        <translation>&lt;p&gt;TrayTape se trouve dans la zone de notification avec deux icônes&#xa0;: une icône de &lt;b&gt;cassette&lt;/b&gt; qui ouvre son menu et affiche un point rouge pendant l&apos;enregistrement, et un petit &lt;b&gt;indicateur de niveau&lt;/b&gt; qui montre le son de l&apos;entrée choisie au fur et à mesure qu&apos;il arrive.&lt;/p&gt;</translation>
    </message>
    <message>
        <source>&lt;p&gt;This desktop has no system tray, so TrayTape lives in its &lt;b&gt;recording panel&lt;/b&gt;: the panel&apos;s &lt;b&gt;Menu&lt;/b&gt; button opens TrayTape&apos;s menu, and its &lt;b&gt;level meter&lt;/b&gt; shows the sound of the chosen input as it comes in. Closed, the panel comes back when you start TrayTape again.&lt;/p&gt;</source>
        <translation>&lt;p&gt;Ce bureau n&apos;a pas de zone de notification, TrayTape vit donc dans son &lt;b&gt;panneau d&apos;enregistrement&lt;/b&gt;&#xa0;: le bouton &lt;b&gt;Menu&lt;/b&gt; du panneau ouvre le menu de TrayTape, et son &lt;b&gt;indicateur de niveau&lt;/b&gt; montre le son de l&apos;entrée choisie au fur et à mesure qu&apos;il arrive. Une fois fermé, le panneau revient quand vous relancez TrayTape.&lt;/p&gt;</translation>
    </message>
    <message>
        <source>the tape icon&apos;s menu</source>
        <translation>le menu de l&apos;icône de cassette</translation>
    </message>
    <message>
        <source>the panel&apos;s menu</source>
        <translation>le menu du panneau</translation>
    </message>
    <message>
        <source>&lt;h2&gt;TrayTape records sound from your tray&lt;/h2&gt;</source>
        <translation>&lt;h2&gt;TrayTape enregistre le son depuis la zone de notification&lt;/h2&gt;</translation>
    </message>
    <message>
        <source>&lt;h2&gt;TrayTape records sound&lt;/h2&gt;</source>
        <translation>&lt;h2&gt;TrayTape enregistre le son&lt;/h2&gt;</translation>
    </message>
    <message>
        <source>&lt;ol&gt;&lt;li&gt;Open &lt;b&gt;Preferences…&lt;/b&gt; from %1 and choose what to record from: a microphone, a line input, or &lt;b&gt;Computer&apos;s sound (what you hear)&lt;/b&gt; for the sound the computer itself plays.&lt;/li&gt;&lt;li&gt;Choose &lt;b&gt;Start Record&lt;/b&gt; in the menu, or press the red button on the recording panel.&lt;/li&gt;&lt;li&gt;Choose &lt;b&gt;Stop Record&lt;/b&gt; when you are done. The new file is shown in your file manager; it is never written over an older one.&lt;/li&gt;&lt;/ol&gt;&lt;p&gt;Recordings are saved in &lt;i&gt;Music/org.traytape.TrayTape&lt;/i&gt; in your home folder unless you choose another folder in Preferences. &lt;b&gt;TrayTape Help&lt;/b&gt; in the menu opens the full guide.&lt;/p&gt;</source>
        <translation>&lt;ol&gt;&lt;li&gt;Ouvrez &lt;b&gt;Préférences…&lt;/b&gt; depuis %1 et choisissez la source à enregistrer&#xa0;: un microphone, une entrée ligne, ou &lt;b&gt;Son de l&apos;ordinateur (ce que vous entendez)&lt;/b&gt; pour le son que l&apos;ordinateur lui-même joue.&lt;/li&gt;&lt;li&gt;Choisissez &lt;b&gt;Démarrer l&apos;enregistrement&lt;/b&gt; dans le menu, ou appuyez sur le bouton rouge du panneau d&apos;enregistrement.&lt;/li&gt;&lt;li&gt;Choisissez &lt;b&gt;Arrêter l&apos;enregistrement&lt;/b&gt; quand vous avez terminé. Le nouveau fichier est affiché dans votre gestionnaire de fichiers&#xa0;; il n&apos;écrase jamais un fichier plus ancien.&lt;/li&gt;&lt;/ol&gt;&lt;p&gt;Les enregistrements sont sauvegardés dans &lt;i&gt;Music/org.traytape.TrayTape&lt;/i&gt; dans votre dossier personnel, sauf si vous choisissez un autre dossier dans les Préférences. &lt;b&gt;Aide de TrayTape&lt;/b&gt; dans le menu ouvre le guide complet.&lt;/p&gt;</translation>
    </message>
    <message>
        <source>Marker at %1</source>
        <translation>Marqueur à %1</translation>
    </message>
    <message>
        <source>Start At…</source>
        <translation>Démarrer à…</translation>
    </message>
    <message>
        <source>Stop After</source>
        <translation>Arrêter après</translation>
    </message>
    <message>
        <source>10 Minutes</source>
        <translation>10 minutes</translation>
    </message>
    <message>
        <source>30 Minutes</source>
        <translation>30 minutes</translation>
    </message>
    <message>
        <source>1 Hour</source>
        <translation>1 heure</translation>
    </message>
    <message>
        <source>2 Hours</source>
        <translation>2 heures</translation>
    </message>
    <message>
        <source>Don&apos;t Stop</source>
        <translation>Ne pas arrêter</translation>
    </message>
    <message>
        <source>Cancel Start at %1</source>
        <translation>Annuler le démarrage à %1</translation>
    </message>
    <message>
        <source>Stop at %1</source>
        <translation>Arrêt à %1</translation>
    </message>
    <message>
        <source>Start Recording At</source>
        <translation>Démarrer l&apos;enregistrement à</translation>
    </message>
    <message>
        <source>Waiting for sound</source>
        <translation>En attente de son</translation>
    </message>
</context>
<context>
    <name>AppNotices</name>
    <message>
        <source>Recording could not start</source>
        <translation>L&apos;enregistrement n&apos;a pas pu démarrer</translation>
    </message>
    <message>
        <source>No input device could be opened. Connect a microphone, or check that the sound server is running, then choose the input in Preferences.</source>
        <translation>Aucun périphérique d&apos;entrée n&apos;a pu être ouvert. Branchez un microphone ou vérifiez que le serveur de son fonctionne, puis choisissez l&apos;entrée dans les Préférences.</translation>
    </message>
    <message>
        <source>The input device %1 is no longer available. Choose another input in Preferences.</source>
        <translation>Le périphérique d&apos;entrée %1 n&apos;est plus disponible. Choisissez une autre entrée dans les Préférences.</translation>
    </message>
    <message>
        <source>in use</source>
        <translation>utilisé</translation>
    </message>
    <message>
        <source>Recording from another input</source>
        <translation>Enregistrement depuis une autre entrée</translation>
    </message>
    <message>
        <source>%1 is gone: recording from %2</source>
        <translation>%1 n&apos;est plus là&#xa0;: enregistrement depuis %2</translation>
    </message>
    <message>
        <source>the default input</source>
        <translation>l&apos;entrée par défaut</translation>
    </message>
    <message>
        <source>TrayTape could not create the file %1 (%2). Choose another folder in Preferences.</source>
        <translation>TrayTape n&apos;a pas pu créer le fichier %1 (%2). Choisissez un autre dossier dans les Préférences.</translation>
    </message>
    <message>
        <source>Recording stopped</source>
        <translation>Enregistrement arrêté</translation>
    </message>
    <message>
        <source>The input device %1 is no longer available. The recording up to that moment is saved as %2.</source>
        <translation>Le périphérique d&apos;entrée %1 n&apos;est plus disponible. L&apos;enregistrement jusqu&apos;à ce moment est sauvegardé sous %2.</translation>
    </message>
    <message>
        <source>TrayTape could not write to %1 (%2). What was recorded before is kept.</source>
        <translation>TrayTape n&apos;a pas pu écrire dans %1 (%2). Ce qui a été enregistré auparavant est conservé.</translation>
    </message>
    <message>
        <source>The file %1 was removed while recording: the take is lost.</source>
        <translation>Le fichier %1 a été supprimé pendant l&apos;enregistrement&#xa0;: la prise est perdue.</translation>
    </message>
    <message>
        <source>Recording moved</source>
        <translation>Enregistrement déplacé</translation>
    </message>
    <message>
        <source>The file being recorded was moved: recording continues at %1</source>
        <translation>Le fichier en cours d&apos;enregistrement a été déplacé&#xa0;: l&apos;enregistrement continue dans %1</translation>
    </message>
    <message>
        <source>Recording incomplete</source>
        <translation>Enregistrement incomplet</translation>
    </message>
    <message>
        <source>TrayTape could not finish writing %1; the end of the recording may be missing.</source>
        <translation>TrayTape n&apos;a pas pu finir d&apos;écrire %1&#xa0;; la fin de l&apos;enregistrement peut manquer.</translation>
    </message>
    <message>
        <source>Audio lost</source>
        <translation>Audio perdu</translation>
    </message>
    <message>
        <source>%1 s of audio were lost</source>
        <translation>%1 s d&apos;audio ont été perdues</translation>
    </message>
    <message>
        <source>Input muted</source>
        <translation>Entrée coupée</translation>
    </message>
    <message>
        <source>%1 is muted: the recording will be silent</source>
        <translation>%1 est coupé&#xa0;: l&apos;enregistrement sera silencieux</translation>
    </message>
    <message>
        <source>Recording silence</source>
        <translation>Enregistrement de silence</translation>
    </message>
    <message>
        <source>TrayTape is recording silence from %1</source>
        <translation>TrayTape enregistre du silence depuis %1</translation>
    </message>
    <message>
        <source>its name is not valid text in this system&apos;s encoding</source>
        <translation>son nom n&apos;est pas un texte valide dans l&apos;encodage de ce système</translation>
    </message>
    <message>
        <source>it is not a folder TrayTape can find</source>
        <translation>ce n&apos;est pas un dossier que TrayTape peut trouver</translation>
    </message>
    <message>
        <source>Save folder not changed</source>
        <translation>Dossier d&apos;enregistrement inchangé</translation>
    </message>
    <message>
        <source>TrayTape cannot save into %1: %2. New recordings still go to %3.</source>
        <translation>TrayTape ne peut pas enregistrer dans %1&#xa0;: %2. Les nouveaux enregistrements vont toujours dans %3.</translation>
    </message>
    <message>
        <source>Save folder cannot be used</source>
        <translation>Dossier d&apos;enregistrement inutilisable</translation>
    </message>
    <message>
        <source>The name of the folder %1 is not valid text in this system&apos;s encoding, so TrayTape cannot save into it. New recordings go to %2 until you rename it or choose another folder in Preferences.</source>
        <translation>Le nom du dossier %1 n&apos;est pas un texte valide dans l&apos;encodage de ce système, TrayTape ne peut donc pas y enregistrer. Les nouveaux enregistrements vont dans %2 jusqu&apos;à ce que vous le renommiez ou choisissiez un autre dossier dans les Préférences.</translation>
    </message>
    <message>
        <source>Save folder not found</source>
        <translation>Dossier d&apos;enregistrement introuvable</translation>
    </message>
    <message>
        <source>The folder %1 no longer exists. New recordings go to %2 until you choose another folder in Preferences.</source>
        <translation>Le dossier %1 n&apos;existe plus. Les nouveaux enregistrements vont dans %2 jusqu&apos;à ce que vous choisissiez un autre dossier dans les Préférences.</translation>
    </message>
    <message>
        <source>%1 has played nothing for %2 s</source>
        <translation>%1 n&apos;a rien joué depuis %2 s</translation>
    </message>
    <message>
        <source>Recording without a source&apos;s own file</source>
        <translation>Enregistrement sans le fichier propre d&apos;une source</translation>
    </message>
    <message>
        <source>TrayTape could not create the file %1 (%2). The mix is recorded without it.</source>
        <translation>TrayTape n&apos;a pas pu créer le fichier %1 (%2). Le mixage est enregistré sans lui.</translation>
    </message>
</context>
<context>
    <name>AudioItemView</name>
    <message>
        <source>Remove from the list</source>
        <translation>Retirer de la liste</translation>
    </message>
    <message>
        <source>Remove %1 from the list</source>
        <translation>Retirer %1 de la liste</translation>
    </message>
    <message>
        <source>Show in File Manager</source>
        <translation>Afficher dans le gestionnaire de fichiers</translation>
    </message>
    <message>
        <source>Move to Trash</source>
        <translation>Mettre à la corbeille</translation>
    </message>
    <message>
        <source>Add Recordings…</source>
        <translation>Ajouter des enregistrements…</translation>
    </message>
</context>
<context>
    <name>AudioLibraryStore</name>
    <message>
        <source>%1 is read-only</source>
        <translation>%1 est en lecture seule</translation>
    </message>
    <message>
        <source>%1 is not a folder</source>
        <translation>%1 n&apos;est pas un dossier</translation>
    </message>
    <message>
        <source>The library list could not be moved to %1 (%2); it stays in the settings.</source>
        <translation>La liste de la bibliothèque n&apos;a pas pu être déplacée vers %1 (%2)&#xa0;; elle reste dans les réglages.</translation>
    </message>
    <message>
        <source>The library list %1 cannot be read (%2); recordings added now are listed until TrayTape quits.</source>
        <translation>La liste de la bibliothèque %1 ne peut pas être lue (%2)&#xa0;; les enregistrements ajoutés maintenant restent listés jusqu&apos;à ce que TrayTape se ferme.</translation>
    </message>
    <message>
        <source>not a regular file</source>
        <translation>pas un fichier ordinaire</translation>
    </message>
    <message>
        <source>written by a later version of TrayTape</source>
        <translation>écrite par une version plus récente de TrayTape</translation>
    </message>
    <message>
        <source>not a library list</source>
        <translation>pas une liste de bibliothèque</translation>
    </message>
    <message>
        <source>The library list could not be stored in %1 (%2).</source>
        <translation>La liste de la bibliothèque n&apos;a pas pu être enregistrée dans %1 (%2).</translation>
    </message>
</context>
<context>
    <name>AudioLibraryWnd</name>
    <message>
        <source>TrayTape Library</source>
        <translation>Bibliothèque TrayTape</translation>
    </message>
    <message>
        <source>Loudness of the recording; click to play from there</source>
        <translation>Volume de l&apos;enregistrement&#xa0;; cliquez pour lire à partir de là</translation>
    </message>
    <message>
        <source>Start the kept part at the play position</source>
        <translation>Faire commencer la partie conservée à la position de lecture</translation>
    </message>
    <message>
        <source>Set Start</source>
        <translation>Définir le début</translation>
    </message>
    <message>
        <source>Start of the kept part</source>
        <translation>Début de la partie conservée</translation>
    </message>
    <message>
        <source>Play position / length</source>
        <translation>Position de lecture / durée</translation>
    </message>
    <message>
        <source>End of the kept part</source>
        <translation>Fin de la partie conservée</translation>
    </message>
    <message>
        <source>End the kept part at the play position</source>
        <translation>Faire finir la partie conservée à la position de lecture</translation>
    </message>
    <message>
        <source>Set End</source>
        <translation>Définir la fin</translation>
    </message>
    <message>
        <source>Play or pause (Space)</source>
        <translation>Lire ou mettre en pause (Espace)</translation>
    </message>
    <message>
        <source>Preview the kept part with its fades, over and over</source>
        <translation>Écouter en boucle la partie conservée avec ses fondus</translation>
    </message>
    <message>
        <source>Fade in (s):</source>
        <translation>Fondu d&apos;entrée (s)&#xa0;:</translation>
    </message>
    <message>
        <source>Seconds of fade-in after the start, 0 to 5</source>
        <translation>Secondes de fondu d&apos;entrée après le début, de 0 à 5</translation>
    </message>
    <message>
        <source>Fade out (s):</source>
        <translation>Fondu de sortie (s)&#xa0;:</translation>
    </message>
    <message>
        <source>Seconds of fade-out before the end, 0 to 5</source>
        <translation>Secondes de fondu de sortie avant la fin, de 0 à 5</translation>
    </message>
    <message>
        <source>Save the kept part with its fades as a new file</source>
        <translation>Enregistrer la partie conservée avec ses fondus dans un nouveau fichier</translation>
    </message>
    <message>
        <source>Export…</source>
        <translation>Exporter…</translation>
    </message>
    <message>
        <source>Library not stored</source>
        <translation>Bibliothèque non enregistrée</translation>
    </message>
    <message>
        <source>Library list partly unreadable</source>
        <translation>Liste de la bibliothèque en partie illisible</translation>
    </message>
    <message numerus="yes">
        <source>%n line(s) of %1 name no recording TrayTape can read; they are kept there as they are.</source>
        <translation>
            <numerusform>%n ligne de %1 ne désigne aucun enregistrement que TrayTape peut lire&#xa0;; elle y est conservée telle quelle.</numerusform>
            <numerusform>%n lignes de %1 ne désignent aucun enregistrement que TrayTape peut lire&#xa0;; elles y sont conservées telles quelles.</numerusform>
        </translation>
    </message>
    <message>
        <source>Exporting</source>
        <translation>Exportation en cours</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Annuler</translation>
    </message>
    <message>
        <source>Stop the export; nothing is written</source>
        <translation>Arrêter l&apos;exportation&#xa0;; rien n&apos;est écrit</translation>
    </message>
    <message>
        <source>Add Recordings…</source>
        <translation>Ajouter des enregistrements…</translation>
    </message>
    <message>
        <source>Undo</source>
        <translation>Annuler</translation>
    </message>
    <message>
        <source>Put the row back (Ctrl+Z)</source>
        <translation>Remettre la ligne (Ctrl+Z)</translation>
    </message>
    <message>
        <source>%1 was removed from the list.</source>
        <translation>%1 a été retiré de la liste.</translation>
    </message>
    <message>
        <source>Not moved to the Trash</source>
        <translation>Non mis à la corbeille</translation>
    </message>
    <message>
        <source>%1 could not be moved to the Trash: %2.</source>
        <translation>%1 n&apos;a pas pu être mis à la corbeille&#xa0;: %2.</translation>
    </message>
    <message>
        <source>Recordings (*.wav *.m4a *.caf *.aac *.mp3 *.flac *.ogg *.opus *.aif *.aiff)</source>
        <translation>Enregistrements (*.wav *.m4a *.caf *.aac *.mp3 *.flac *.ogg *.opus *.aif *.aiff)</translation>
    </message>
    <message>
        <source>All files (*)</source>
        <translation>Tous les fichiers (*)</translation>
    </message>
    <message>
        <source>Not added</source>
        <translation>Non ajouté</translation>
    </message>
    <message numerus="yes">
        <source>%1: no audio TrayTape can play.</source>
        <translation>
            <numerusform>%1&#xa0;: ne contient aucun audio que TrayTape peut lire.</numerusform>
            <numerusform>%1&#xa0;: ne contiennent aucun audio que TrayTape peut lire.</numerusform>
        </translation>
    </message>
    <message>
        <source>Nothing to export</source>
        <translation>Rien à exporter</translation>
    </message>
    <message>
        <source>The trimmed range holds no audio: move the trim start before the trim end. No file was written.</source>
        <translation>La plage découpée ne contient aucun audio&#xa0;: placez le début avant la fin. Aucun fichier n&apos;a été écrit.</translation>
    </message>
    <message>
        <source>Export incomplete</source>
        <translation>Exportation incomplète</translation>
    </message>
    <message>
        <source>%1 could not be read to its end; %2 holds the part before that.</source>
        <translation>%1 n&apos;a pas pu être lu jusqu&apos;au bout&#xa0;; %2 contient la partie qui précède.</translation>
    </message>
    <message>
        <source>Export failed</source>
        <translation>Échec de l&apos;exportation</translation>
    </message>
    <message>
        <source>%1 could not be read; nothing was exported.</source>
        <translation>%1 n&apos;a pas pu être lu&#xa0;; rien n&apos;a été exporté.</translation>
    </message>
    <message>
        <source>A recording cannot be exported onto itself; %1 was left as it is.</source>
        <translation>Un enregistrement ne peut pas être exporté sur lui-même&#xa0;; %1 est resté tel quel.</translation>
    </message>
    <message>
        <source>%1 is being recorded: choose another file. The recording goes on.</source>
        <translation>%1 est en cours d&apos;enregistrement&#xa0;: choisissez un autre fichier. L&apos;enregistrement continue.</translation>
    </message>
    <message>
        <source>%1 could not be created (%2).</source>
        <translation>%1 n&apos;a pas pu être créé (%2).</translation>
    </message>
    <message>
        <source>Writing %1 failed (%2); nothing there was changed.</source>
        <translation>L&apos;écriture de %1 a échoué (%2)&#xa0;; rien n&apos;y a été modifié.</translation>
    </message>
    <message>
        <source>Normalise loudness</source>
        <translation>Normaliser la sonie</translation>
    </message>
    <message>
        <source>Measure the loudness (EBU R128) and bring it to the target with one gain; true peaks are kept below -1 dBTP</source>
        <translation>Mesurer la sonie (EBU R128) et l’amener à la cible par un seul gain ; les crêtes vraies restent sous -1 dBTP</translation>
    </message>
    <message>
        <source> LUFS</source>
        <translation> LUFS</translation>
    </message>
    <message>
        <source>Loudness target</source>
        <translation>Sonie cible</translation>
    </message>
    <message>
        <source>The range is silent: no gain was applied. True peak %1 dBTP.</source>
        <translation>La plage est silencieuse : aucun gain n’a été appliqué. Crête vraie %1 dBTP.</translation>
    </message>
    <message>
        <source>Loudness %1 LUFS, gain %2 dB, true peak %3 dBTP.</source>
        <translation>Sonie %1 LUFS, gain %2 dB, crête vraie %3 dBTP.</translation>
    </message>
    <message>
        <source>Exported</source>
        <translation>Exporté</translation>
    </message>
    <message>
        <source>Remove from the List</source>
        <translation>Retirer de la liste</translation>
    </message>
    <message>
        <source>Also remove the files of each source of %1 from the list?</source>
        <translation>Retirer aussi de la liste les fichiers de chaque source de %1 ?</translation>
    </message>
    <message>
        <source>The files stay on the disk either way.</source>
        <translation>Les fichiers restent sur le disque dans tous les cas.</translation>
    </message>
    <message>
        <source>Remove Them Too</source>
        <translation>Les retirer aussi</translation>
    </message>
    <message>
        <source>Keep Them Listed</source>
        <translation>Les garder dans la liste</translation>
    </message>
</context>
<context>
    <name>AudioRowPool</name>
    <message>
        <source>measuring…</source>
        <translation>mesure en cours…</translation>
    </message>
    <message>
        <source>%1, part %2 of %3</source>
        <translation>%1, partie %2 sur %3</translation>
    </message>
    <message>
        <source>%1, the input alone</source>
        <translation>%1, l&apos;entrée seule</translation>
    </message>
    <message>
        <source>%1, the computer&apos;s sound alone</source>
        <translation>%1, le son de l&apos;ordinateur seul</translation>
    </message>
    <message>
        <source>%1, the application alone</source>
        <translation>%1, l&apos;application seule</translation>
    </message>
</context>
<context>
    <name>ConfigAudioWndController</name>
    <message>
        <source>Computer&apos;s sound (what you hear)</source>
        <translation>Son de l&apos;ordinateur (ce que vous entendez)</translation>
    </message>
    <message>
        <source>Default input</source>
        <translation>Entrée par défaut</translation>
    </message>
    <message>
        <source>Default input (%1)</source>
        <translation>Entrée par défaut (%1)</translation>
    </message>
    <message>
        <source>Choose the folder for new recordings</source>
        <translation>Choisir le dossier des nouveaux enregistrements</translation>
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
        <translation>Fréquence de la source</translation>
    </message>
    <message>
        <source>Stereo</source>
        <translation>Stéréo</translation>
    </message>
    <message>
        <source>Mono</source>
        <translation>Mono</translation>
    </message>
    <message>
        <source>16-bit</source>
        <translation>16 bits</translation>
    </message>
    <message>
        <source>24-bit</source>
        <translation>24 bits</translation>
    </message>
    <message>
        <source>32-bit</source>
        <translation>32 bits</translation>
    </message>
    <message>
        <source>32-bit float</source>
        <translation>32 bits flottant</translation>
    </message>
    <message>
        <source>Automatic bit rate</source>
        <translation>Débit automatique</translation>
    </message>
    <message>
        <source>%1 kb/s</source>
        <translation>%1 kb/s</translation>
    </message>
    <message>
        <source>Application: %1</source>
        <translation>Application : %1</translation>
    </message>
</context>
<context>
    <name>ConfigWnd</name>
    <message>
        <source>TrayTape Preferences</source>
        <translation>Préférences de TrayTape</translation>
    </message>
    <message>
        <source>Record from:</source>
        <translation>Enregistrer depuis&#xa0;:</translation>
    </message>
    <message>
        <source>The microphone or input to record. Choose &quot;Computer&apos;s sound (what you hear)&quot; to record what the computer plays.</source>
        <translation>Le microphone ou l&apos;entrée à enregistrer. Choisissez «&#xa0;Son de l&apos;ordinateur (ce que vous entendez)&#xa0;» pour enregistrer ce que joue l&apos;ordinateur.</translation>
    </message>
    <message>
        <source>Also record the computer&apos;s sound</source>
        <translation>Enregistrer aussi le son de l&apos;ordinateur</translation>
    </message>
    <message>
        <source>Mixes what you hear into the recording, each at its own level</source>
        <translation>Mélange ce que vous entendez à l&apos;enregistrement, chacun à son propre niveau</translation>
    </message>
    <message>
        <source>Format:</source>
        <translation>Format&#xa0;:</translation>
    </message>
    <message>
        <source>Save to:</source>
        <translation>Enregistrer dans&#xa0;:</translation>
    </message>
    <message>
        <source>Choose Folder…</source>
        <translation>Choisir un dossier…</translation>
    </message>
    <message>
        <source>Show Folder</source>
        <translation>Afficher le dossier</translation>
    </message>
    <message>
        <source>Start TrayTape when I log in</source>
        <translation>Lancer TrayTape à la connexion</translation>
    </message>
    <message>
        <source>Show each new recording in the file manager</source>
        <translation>Afficher chaque nouvel enregistrement dans le gestionnaire de fichiers</translation>
    </message>
    <message>
        <source>How do I record the computer&apos;s own sound?</source>
        <translation>Comment enregistrer le son de l&apos;ordinateur lui-même&#xa0;?</translation>
    </message>
    <message>
        <source>Listen when not recording (tray meter, pre-roll)</source>
        <translation>Écouter hors enregistrement (indicateur de niveau, pré-enregistrement)</translation>
    </message>
    <message>
        <source>Off, the input is opened only while recording: the desktop shows no microphone in use and a headset keeps its best sound profile, but the tray meter rests until a recording starts.</source>
        <translation>Désactivé, l’entrée n’est ouverte que pendant un enregistrement : le bureau n’indique aucun micro en cours d’utilisation et un casque garde son meilleur profil sonore, mais l’indicateur de niveau reste au repos jusqu’au début d’un enregistrement.</translation>
    </message>
    <message>
        <source>Sample rate</source>
        <translation>Fréquence d&apos;échantillonnage</translation>
    </message>
    <message>
        <source>Channels</source>
        <translation>Canaux</translation>
    </message>
    <message>
        <source>Bit depth</source>
        <translation>Profondeur de bits</translation>
    </message>
    <message>
        <source>Bit rate</source>
        <translation>Débit</translation>
    </message>
    <message>
        <source>Split:</source>
        <translation>Découper :</translation>
    </message>
    <message>
        <source>Cuts a long recording into parts of this length, &quot;NAME 001&quot;, &quot;NAME 002&quot;…, which join without a gap</source>
        <translation>Découpe un long enregistrement en parties de cette durée, « NAME 001 », « NAME 002 »…, qui se raccordent sans trou</translation>
    </message>
    <message>
        <source>One file</source>
        <translation>Un seul fichier</translation>
    </message>
    <message>
        <source>Every 15 minutes</source>
        <translation>Toutes les 15 minutes</translation>
    </message>
    <message>
        <source>Every 30 minutes</source>
        <translation>Toutes les 30 minutes</translation>
    </message>
    <message>
        <source>Every hour</source>
        <translation>Toutes les heures</translation>
    </message>
    <message>
        <source>Every 2 hours</source>
        <translation>Toutes les 2 heures</translation>
    </message>
    <message>
        <source>Pre-roll:</source>
        <translation>Pré-enregistrement&#xa0;:</translation>
    </message>
    <message>
        <source>Keep the last</source>
        <translation>Garder les</translation>
    </message>
    <message>
        <source>seconds before Record</source>
        <translation>dernières secondes avant l&apos;enregistrement</translation>
    </message>
    <message>
        <source>On sound:</source>
        <translation>Au son&#xa0;:</translation>
    </message>
    <message>
        <source>Start at</source>
        <translation>Démarrer à</translation>
    </message>
    <message>
        <source>stop after</source>
        <translation>arrêter après</translation>
    </message>
    <message>
        <source>Seconds below the level that end a take; 0 records until you stop.</source>
        <translation>Secondes sous le niveau qui terminent une prise&#xa0;; 0 enregistre jusqu&apos;à ce que vous arrêtiez.</translation>
    </message>
    <message>
        <source>of silence</source>
        <translation>de silence</translation>
    </message>
    <message>
        <source>Also keep each source in its own file</source>
        <translation>Garder aussi chaque source dans son propre fichier</translation>
    </message>
    <message>
        <source>Beside the mix, the input and the computer&apos;s sound each in a file of its own (NAME.input and NAME.system), as loud as they came in</source>
        <translation>À côté du mixage, l&apos;entrée et le son de l&apos;ordinateur chacun dans son propre fichier (NOM.input et NOM.system), au niveau où ils sont arrivés</translation>
    </message>
</context>
<context>
    <name>EngineWords</name>
    <message>
        <source>no such folder</source>
        <translation>dossier inexistant</translation>
    </message>
    <message>
        <source>permission denied</source>
        <translation>permission refusée</translation>
    </message>
    <message>
        <source>not a regular file</source>
        <translation>pas un fichier ordinaire</translation>
    </message>
    <message>
        <source>the disk is full</source>
        <translation>le disque est plein</translation>
    </message>
    <message>
        <source>format not supported</source>
        <translation>format non pris en charge</translation>
    </message>
    <message>
        <source>name too long</source>
        <translation>nom trop long</translation>
    </message>
    <message>
        <source>path too long</source>
        <translation>chemin trop long</translation>
    </message>
    <message>
        <source>its hidden file was replaced by another program while it was written; nothing was put in place</source>
        <translation>son fichier caché a été remplacé par un autre programme pendant l&apos;écriture&#xa0;; rien n&apos;a été mis en place</translation>
    </message>
    <message>
        <source>the folder belongs to another user</source>
        <translation>le dossier appartient à un autre utilisateur</translation>
    </message>
    <message>
        <source>stopped before any audio arrived; no file was kept</source>
        <translation>arrêté avant l&apos;arrivée de tout audio&#xa0;; aucun fichier n&apos;a été conservé</translation>
    </message>
    <message>
        <source>cancelled; no file was kept</source>
        <translation>annulé&#xa0;; aucun fichier n&apos;a été conservé</translation>
    </message>
    <message>
        <source>write-protected</source>
        <translation>protégé en écriture</translation>
    </message>
    <message>
        <source>MPEG-4 audio</source>
        <translation>Audio MPEG-4</translation>
    </message>
    <message>
        <source>WAVE audio</source>
        <translation>Audio WAVE</translation>
    </message>
    <message>
        <source>Core Audio Format</source>
        <translation>Core Audio Format</translation>
    </message>
    <message>
        <source>FLAC audio</source>
        <translation>Audio FLAC</translation>
    </message>
    <message>
        <source>Opus audio</source>
        <translation>Audio Opus</translation>
    </message>
    <message>
        <source>Ogg Vorbis audio</source>
        <translation>Audio Ogg Vorbis</translation>
    </message>
    <message>
        <source>MP3 audio</source>
        <translation>Audio MP3</translation>
    </message>
</context>
<context>
    <name>MainMenu</name>
    <message>
        <source>Welcome to TrayTape</source>
        <translation>Bienvenue dans TrayTape</translation>
    </message>
    <message>
        <source>Show this window when TrayTape starts</source>
        <translation>Afficher cette fenêtre au démarrage de TrayTape</translation>
    </message>
    <message>
        <source>Close</source>
        <translation>Fermer</translation>
    </message>
    <message>
        <source>TrayTape Recording</source>
        <translation>Enregistrement TrayTape</translation>
    </message>
    <message>
        <source>Start or stop a recording</source>
        <translation>Démarrer ou arrêter un enregistrement</translation>
    </message>
    <message>
        <source>Pause Recording</source>
        <translation>Mettre l&apos;enregistrement en pause</translation>
    </message>
    <message>
        <source>Start Record</source>
        <translation>Démarrer l&apos;enregistrement</translation>
    </message>
    <message>
        <source>The input this panel records</source>
        <translation>L&apos;entrée qu&apos;enregistre ce panneau</translation>
    </message>
    <message>
        <source>Input level</source>
        <translation>Niveau d&apos;entrée</translation>
    </message>
    <message>
        <source>The two parts of the recording, each at its own level</source>
        <translation>Les deux parties de l&apos;enregistrement, chacune à son propre niveau</translation>
    </message>
    <message>
        <source>Open this panel when TrayTape starts</source>
        <translation>Ouvrir ce panneau au démarrage de TrayTape</translation>
    </message>
    <message>
        <source>Recorded Time: 00:00:00</source>
        <translation>Durée enregistrée&#xa0;: 00:00:00</translation>
    </message>
    <message>
        <source>Recording Panel</source>
        <translation>Panneau d&apos;enregistrement</translation>
    </message>
    <message>
        <source>Library</source>
        <translation>Bibliothèque</translation>
    </message>
    <message>
        <source>Preferences…</source>
        <translation>Préférences…</translation>
    </message>
    <message>
        <source>TrayTape Help</source>
        <translation>Aide de TrayTape</translation>
    </message>
    <message>
        <source>Support Website</source>
        <translation>Site web d&apos;assistance</translation>
    </message>
    <message>
        <source>Quit TrayTape</source>
        <translation>Quitter TrayTape</translation>
    </message>
    <message>
        <source>Add Marker</source>
        <translation>Ajouter un marqueur</translation>
    </message>
    <message>
        <source>Add Marker (M)</source>
        <translation>Ajouter un marqueur (M)</translation>
    </message>
    <message>
        <source>Record When Sound Starts</source>
        <translation>Enregistrer dès qu&apos;un son arrive</translation>
    </message>
</context>
<context>
    <name>NotificationActions</name>
    <message>
        <source>Open</source>
        <translation>Ouvrir</translation>
    </message>
    <message>
        <source>Show in File Manager</source>
        <translation>Afficher dans le gestionnaire de fichiers</translation>
    </message>
</context>
<context>
    <name>SingleInstance</name>
    <message>
        <source>TrayTape is not running (%1 is not a lock file)</source>
        <translation>TrayTape n&apos;est pas lancé (%1 n&apos;est pas un fichier de verrou)</translation>
    </message>
    <message>
        <source>TrayTape is running but does not answer</source>
        <translation>TrayTape est lancé mais ne répond pas</translation>
    </message>
    <message>
        <source>TrayTape is not running</source>
        <translation>TrayTape n&apos;est pas lancé</translation>
    </message>
    <message>
        <source>TrayTape did not answer</source>
        <translation>TrayTape n&apos;a pas répondu</translation>
    </message>
    <message>
        <source>unknown command</source>
        <translation>commande inconnue</translation>
    </message>
    <message>
        <source>not ready</source>
        <translation>pas prêt</translation>
    </message>
</context>
<context>
    <name>SleepInhibitor</name>
    <message>
        <source>TrayTape is recording</source>
        <translation>TrayTape enregistre</translation>
    </message>
</context>
<context>
    <name>Trash</name>
    <message>
        <source>it is not a file that is there</source>
        <translation>ce n&apos;est pas un fichier présent</translation>
    </message>
    <message>
        <source>it is on another disk than the Trash</source>
        <translation>il se trouve sur un autre disque que la corbeille</translation>
    </message>
    <message>
        <source>the Trash holds too many files of that name</source>
        <translation>la corbeille contient trop de fichiers de ce nom</translation>
    </message>
</context>
<context>
    <name>TrayIcons</name>
    <message>
        <source>Menu</source>
        <translation>Menu</translation>
    </message>
    <message>
        <source>TrayTape menu</source>
        <translation>Menu de TrayTape</translation>
    </message>
    <message>
        <source>TrayTape input level</source>
        <translation>Niveau d&apos;entrée de TrayTape</translation>
    </message>
</context>
</TS>
