<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="es_ES">
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
        <translation>Posición de reproducción</translation>
    </message>
    <message>
        <source>%1, keeping %2 to %3</source>
        <translation>%1, se conserva de %2 a %3</translation>
    </message>
    <message>
        <source>Input level</source>
        <translation>Nivel de entrada</translation>
    </message>
    <message>
        <source>%1 dB</source>
        <translation>%1 dB</translation>
    </message>
    <message>
        <source>silent</source>
        <translation>en silencio</translation>
    </message>
    <message>
        <source>Recordings</source>
        <translation>Grabaciones</translation>
    </message>
</context>
<context>
    <name>AppCommands</name>
    <message>
        <source>still starting</source>
        <translation>todavía se está iniciando</translation>
    </message>
    <message>
        <source>the library is not available</source>
        <translation>la biblioteca no está disponible</translation>
    </message>
    <message>
        <source>already recording</source>
        <translation>ya se está grabando</translation>
    </message>
    <message>
        <source>not recording</source>
        <translation>no se está grabando</translation>
    </message>
    <message>
        <source>already paused</source>
        <translation>ya está en pausa</translation>
    </message>
    <message>
        <source>not paused</source>
        <translation>no está en pausa</translation>
    </message>
    <message>
        <source>the recording could not start</source>
        <translation>no se pudo iniciar la grabación</translation>
    </message>
    <message>
        <source>unknown command</source>
        <translation>orden desconocida</translation>
    </message>
    <message>
        <source>not a time of day: %1 (HH:MM, or off)</source>
        <translation>no es una hora: %1 (HH:MM, u off)</translation>
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
        <translation>silencio</translation>
    </message>
    <message>
        <source>Input %1 · Computer %2</source>
        <translation>Entrada %1 · Equipo %2</translation>
    </message>
    <message>
        <source>Stop Record</source>
        <translation>Detener la grabación</translation>
    </message>
    <message>
        <source>Start Record</source>
        <translation>Iniciar la grabación</translation>
    </message>
    <message>
        <source>Recorded Time: %1</source>
        <translation>Tiempo grabado: %1</translation>
    </message>
    <message>
        <source>Resume Recording</source>
        <translation>Reanudar la grabación</translation>
    </message>
    <message>
        <source>Pause Recording</source>
        <translation>Pausar la grabación</translation>
    </message>
    <message>
        <source>Paused</source>
        <translation>En pausa</translation>
    </message>
    <message>
        <source>%1 + computer&apos;s sound</source>
        <translation>%1 + sonido del equipo</translation>
    </message>
    <message>
        <source>Recording</source>
        <translation>Grabando</translation>
    </message>
    <message>
        <source>Recording saved</source>
        <translation>Grabación guardada</translation>
    </message>
    <message>
        <source>&lt;p&gt;TrayTape sits in the system tray with two icons: a &lt;b&gt;tape&lt;/b&gt; icon that opens its menu and shows a red dot while it records, and a small &lt;b&gt;level meter&lt;/b&gt; that shows the sound of the chosen input as it comes in.&lt;/p&gt;</source>
        <translation>&lt;p&gt;TrayTape está en la bandeja del sistema con dos iconos: un icono de &lt;b&gt;cinta&lt;/b&gt; que abre su menú y muestra un punto rojo mientras graba, y un pequeño &lt;b&gt;medidor de nivel&lt;/b&gt; que muestra el sonido de la entrada elegida a medida que llega.&lt;/p&gt;</translation>
    </message>
    <message>
        <source>&lt;p&gt;This desktop has no system tray, so TrayTape lives in its &lt;b&gt;recording panel&lt;/b&gt;: the panel&apos;s &lt;b&gt;Menu&lt;/b&gt; button opens TrayTape&apos;s menu, and its &lt;b&gt;level meter&lt;/b&gt; shows the sound of the chosen input as it comes in. Closed, the panel comes back when you start TrayTape again.&lt;/p&gt;</source>
        <translation>&lt;p&gt;Este escritorio no tiene bandeja del sistema, así que TrayTape vive en su &lt;b&gt;panel de grabación&lt;/b&gt;: el botón &lt;b&gt;Menú&lt;/b&gt; del panel abre el menú de TrayTape, y su &lt;b&gt;medidor de nivel&lt;/b&gt; muestra el sonido de la entrada elegida a medida que llega. Si lo cierra, el panel vuelve cuando inicie TrayTape de nuevo.&lt;/p&gt;</translation>
    </message>
    <message>
        <source>the tape icon&apos;s menu</source>
        <translation>el menú del icono de cinta</translation>
    </message>
    <message>
        <source>the panel&apos;s menu</source>
        <translation>el menú del panel</translation>
    </message>
    <message>
        <source>&lt;h2&gt;TrayTape records sound from your tray&lt;/h2&gt;</source>
        <translation>&lt;h2&gt;TrayTape graba sonido desde la bandeja del sistema&lt;/h2&gt;</translation>
    </message>
    <message>
        <source>&lt;h2&gt;TrayTape records sound&lt;/h2&gt;</source>
        <translation>&lt;h2&gt;TrayTape graba sonido&lt;/h2&gt;</translation>
    </message>
    <message>
        <source>&lt;ol&gt;&lt;li&gt;Open &lt;b&gt;Preferences…&lt;/b&gt; from %1 and choose what to record from: a microphone, a line input, or &lt;b&gt;Computer&apos;s sound (what you hear)&lt;/b&gt; for the sound the computer itself plays.&lt;/li&gt;&lt;li&gt;Choose &lt;b&gt;Start Record&lt;/b&gt; in the menu, or press the red button on the recording panel.&lt;/li&gt;&lt;li&gt;Choose &lt;b&gt;Stop Record&lt;/b&gt; when you are done. The new file is shown in your file manager; it is never written over an older one.&lt;/li&gt;&lt;/ol&gt;&lt;p&gt;Recordings are saved in &lt;i&gt;Music/org.traytape.TrayTape&lt;/i&gt; in your home folder unless you choose another folder in Preferences. &lt;b&gt;TrayTape Help&lt;/b&gt; in the menu opens the full guide.&lt;/p&gt;</source>
        <translation>&lt;ol&gt;&lt;li&gt;Abra &lt;b&gt;Preferencias…&lt;/b&gt; desde %1 y elija de dónde grabar: un micrófono, una entrada de línea o &lt;b&gt;Sonido del equipo (lo que oye)&lt;/b&gt; para el sonido que reproduce el propio equipo.&lt;/li&gt;&lt;li&gt;Elija &lt;b&gt;Iniciar la grabación&lt;/b&gt; en el menú, o pulse el botón rojo del panel de grabación.&lt;/li&gt;&lt;li&gt;Elija &lt;b&gt;Detener la grabación&lt;/b&gt; cuando termine. El archivo nuevo se muestra en su gestor de archivos; nunca sobrescribe uno anterior.&lt;/li&gt;&lt;/ol&gt;&lt;p&gt;Las grabaciones se guardan en &lt;i&gt;Music/org.traytape.TrayTape&lt;/i&gt; en su carpeta personal, a menos que elija otra carpeta en Preferencias. &lt;b&gt;Ayuda de TrayTape&lt;/b&gt; en el menú abre la guía completa.&lt;/p&gt;</translation>
    </message>
    <message>
        <source>Marker at %1</source>
        <translation>Marcador en %1</translation>
    </message>
    <message>
        <source>Start At…</source>
        <translation>Iniciar a las…</translation>
    </message>
    <message>
        <source>Stop After</source>
        <translation>Detener tras</translation>
    </message>
    <message>
        <source>10 Minutes</source>
        <translation>10 minutos</translation>
    </message>
    <message>
        <source>30 Minutes</source>
        <translation>30 minutos</translation>
    </message>
    <message>
        <source>1 Hour</source>
        <translation>1 hora</translation>
    </message>
    <message>
        <source>2 Hours</source>
        <translation>2 horas</translation>
    </message>
    <message>
        <source>Don&apos;t Stop</source>
        <translation>No detener</translation>
    </message>
    <message>
        <source>Cancel Start at %1</source>
        <translation>Cancelar el inicio a las %1</translation>
    </message>
    <message>
        <source>Stop at %1</source>
        <translation>Se detiene a las %1</translation>
    </message>
    <message>
        <source>Start Recording At</source>
        <translation>Iniciar la grabación a las</translation>
    </message>
    <message>
        <source>Waiting for sound</source>
        <translation>Esperando sonido</translation>
    </message>
</context>
<context>
    <name>AppNotices</name>
    <message>
        <source>Recording could not start</source>
        <translation>No se pudo iniciar la grabación</translation>
    </message>
    <message>
        <source>No input device could be opened. Connect a microphone, or check that the sound server is running, then choose the input in Preferences.</source>
        <translation>No se pudo abrir ningún dispositivo de entrada. Conecte un micrófono o compruebe que el servidor de sonido esté en marcha, y luego elija la entrada en Preferencias.</translation>
    </message>
    <message>
        <source>The input device %1 is no longer available. Choose another input in Preferences.</source>
        <translation>El dispositivo de entrada %1 ya no está disponible. Elija otra entrada en Preferencias.</translation>
    </message>
    <message>
        <source>in use</source>
        <translation>en uso</translation>
    </message>
    <message>
        <source>Recording from another input</source>
        <translation>Grabando desde otra entrada</translation>
    </message>
    <message>
        <source>%1 is gone: recording from %2</source>
        <translation>%1 ya no está: grabando desde %2</translation>
    </message>
    <message>
        <source>the default input</source>
        <translation>la entrada predeterminada</translation>
    </message>
    <message>
        <source>TrayTape could not create the file %1 (%2). Choose another folder in Preferences.</source>
        <translation>TrayTape no pudo crear el archivo %1 (%2). Elija otra carpeta en Preferencias.</translation>
    </message>
    <message>
        <source>Recording stopped</source>
        <translation>Grabación detenida</translation>
    </message>
    <message>
        <source>The input device %1 is no longer available. The recording up to that moment is saved as %2.</source>
        <translation>El dispositivo de entrada %1 ya no está disponible. La grabación hasta ese momento se ha guardado como %2.</translation>
    </message>
    <message>
        <source>TrayTape could not write to %1 (%2). What was recorded before is kept.</source>
        <translation>TrayTape no pudo escribir en %1 (%2). Lo grabado hasta entonces se conserva.</translation>
    </message>
    <message>
        <source>The file %1 was removed while recording: the take is lost.</source>
        <translation>El archivo %1 se eliminó durante la grabación: la toma se ha perdido.</translation>
    </message>
    <message>
        <source>Recording moved</source>
        <translation>Grabación movida</translation>
    </message>
    <message>
        <source>The file being recorded was moved: recording continues at %1</source>
        <translation>El archivo que se está grabando se ha movido: la grabación continúa en %1</translation>
    </message>
    <message>
        <source>Recording incomplete</source>
        <translation>Grabación incompleta</translation>
    </message>
    <message>
        <source>TrayTape could not finish writing %1; the end of the recording may be missing.</source>
        <translation>TrayTape no pudo terminar de escribir %1; puede que falte el final de la grabación.</translation>
    </message>
    <message>
        <source>Audio lost</source>
        <translation>Audio perdido</translation>
    </message>
    <message>
        <source>%1 s of audio were lost</source>
        <translation>Se perdieron %1 s de audio</translation>
    </message>
    <message>
        <source>Input muted</source>
        <translation>Entrada silenciada</translation>
    </message>
    <message>
        <source>%1 is muted: the recording will be silent</source>
        <translation>%1 está silenciado: la grabación no tendrá sonido</translation>
    </message>
    <message>
        <source>Recording silence</source>
        <translation>Grabando silencio</translation>
    </message>
    <message>
        <source>TrayTape is recording silence from %1</source>
        <translation>TrayTape está grabando silencio desde %1</translation>
    </message>
    <message>
        <source>its name is not valid text in this system&apos;s encoding</source>
        <translation>su nombre no es un texto válido en la codificación de este sistema</translation>
    </message>
    <message>
        <source>it is not a folder TrayTape can find</source>
        <translation>no es una carpeta que TrayTape pueda encontrar</translation>
    </message>
    <message>
        <source>Save folder not changed</source>
        <translation>Carpeta de destino sin cambiar</translation>
    </message>
    <message>
        <source>TrayTape cannot save into %1: %2. New recordings still go to %3.</source>
        <translation>TrayTape no puede guardar en %1: %2. Las grabaciones nuevas siguen guardándose en %3.</translation>
    </message>
    <message>
        <source>Save folder cannot be used</source>
        <translation>No se puede usar la carpeta de destino</translation>
    </message>
    <message>
        <source>The name of the folder %1 is not valid text in this system&apos;s encoding, so TrayTape cannot save into it. New recordings go to %2 until you rename it or choose another folder in Preferences.</source>
        <translation>El nombre de la carpeta %1 no es un texto válido en la codificación de este sistema, por lo que TrayTape no puede guardar en ella. Las grabaciones nuevas se guardan en %2 hasta que le cambie el nombre o elija otra carpeta en Preferencias.</translation>
    </message>
    <message>
        <source>Save folder not found</source>
        <translation>No se encuentra la carpeta de destino</translation>
    </message>
    <message>
        <source>The folder %1 no longer exists. New recordings go to %2 until you choose another folder in Preferences.</source>
        <translation>La carpeta %1 ya no existe. Las grabaciones nuevas se guardan en %2 hasta que elija otra carpeta en Preferencias.</translation>
    </message>
    <message>
        <source>%1 has played nothing for %2 s</source>
        <translation>%1 no ha reproducido nada en %2 s</translation>
    </message>
    <message>
        <source>Recording without a source&apos;s own file</source>
        <translation>Grabación sin el archivo propio de una fuente</translation>
    </message>
    <message>
        <source>TrayTape could not create the file %1 (%2). The mix is recorded without it.</source>
        <translation>TrayTape no pudo crear el archivo %1 (%2). La mezcla se graba sin él.</translation>
    </message>
</context>
<context>
    <name>AudioItemView</name>
    <message>
        <source>Remove from the list</source>
        <translation>Quitar de la lista</translation>
    </message>
    <message>
        <source>Remove %1 from the list</source>
        <translation>Quitar %1 de la lista</translation>
    </message>
    <message>
        <source>Show in File Manager</source>
        <translation>Mostrar en el gestor de archivos</translation>
    </message>
    <message>
        <source>Move to Trash</source>
        <translation>Mover a la papelera</translation>
    </message>
    <message>
        <source>Add Recordings…</source>
        <translation>Añadir grabaciones…</translation>
    </message>
</context>
<context>
    <name>AudioLibraryStore</name>
    <message>
        <source>%1 is read-only</source>
        <translation>%1 es de solo lectura</translation>
    </message>
    <message>
        <source>%1 is not a folder</source>
        <translation>%1 no es una carpeta</translation>
    </message>
    <message>
        <source>The library list could not be moved to %1 (%2); it stays in the settings.</source>
        <translation>No se pudo mover la lista de la biblioteca a %1 (%2); se queda en la configuración.</translation>
    </message>
    <message>
        <source>The library list %1 cannot be read (%2); recordings added now are listed until TrayTape quits.</source>
        <translation>No se puede leer la lista de la biblioteca %1 (%2); las grabaciones que se añadan ahora aparecen hasta que TrayTape se cierre.</translation>
    </message>
    <message>
        <source>not a regular file</source>
        <translation>no es un archivo normal</translation>
    </message>
    <message>
        <source>written by a later version of TrayTape</source>
        <translation>escrita por una versión más reciente de TrayTape</translation>
    </message>
    <message>
        <source>not a library list</source>
        <translation>no es una lista de biblioteca</translation>
    </message>
    <message>
        <source>The library list could not be stored in %1 (%2).</source>
        <translation>No se pudo guardar la lista de la biblioteca en %1 (%2).</translation>
    </message>
</context>
<context>
    <name>AudioLibraryWnd</name>
    <message>
        <source>TrayTape Library</source>
        <translation>Biblioteca de TrayTape</translation>
    </message>
    <message>
        <source>Loudness of the recording; click to play from there</source>
        <translation>Volumen de la grabación; pulse para reproducir desde ahí</translation>
    </message>
    <message>
        <source>Start the kept part at the play position</source>
        <translation>Empezar la parte conservada en la posición de reproducción</translation>
    </message>
    <message>
        <source>Set Start</source>
        <translation>Fijar inicio</translation>
    </message>
    <message>
        <source>Start of the kept part</source>
        <translation>Inicio de la parte conservada</translation>
    </message>
    <message>
        <source>Play position / length</source>
        <translation>Posición de reproducción / duración</translation>
    </message>
    <message>
        <source>End of the kept part</source>
        <translation>Final de la parte conservada</translation>
    </message>
    <message>
        <source>End the kept part at the play position</source>
        <translation>Terminar la parte conservada en la posición de reproducción</translation>
    </message>
    <message>
        <source>Set End</source>
        <translation>Fijar final</translation>
    </message>
    <message>
        <source>Play or pause (Space)</source>
        <translation>Reproducir o pausar (Espacio)</translation>
    </message>
    <message>
        <source>Preview the kept part with its fades, over and over</source>
        <translation>Escuchar en bucle la parte conservada con sus fundidos</translation>
    </message>
    <message>
        <source>Fade in (s):</source>
        <translation>Fundido de entrada (s):</translation>
    </message>
    <message>
        <source>Seconds of fade-in after the start, 0 to 5</source>
        <translation>Segundos de fundido de entrada tras el inicio, de 0 a 5</translation>
    </message>
    <message>
        <source>Fade out (s):</source>
        <translation>Fundido de salida (s):</translation>
    </message>
    <message>
        <source>Seconds of fade-out before the end, 0 to 5</source>
        <translation>Segundos de fundido de salida antes del final, de 0 a 5</translation>
    </message>
    <message>
        <source>Save the kept part with its fades as a new file</source>
        <translation>Guardar la parte conservada con sus fundidos como un archivo nuevo</translation>
    </message>
    <message>
        <source>Export…</source>
        <translation>Exportar…</translation>
    </message>
    <message>
        <source>Library not stored</source>
        <translation>Biblioteca sin guardar</translation>
    </message>
    <message>
        <source>Library list partly unreadable</source>
        <translation>Lista de la biblioteca parcialmente ilegible</translation>
    </message>
    <message numerus="yes">
        <source>%n line(s) of %1 name no recording TrayTape can read; they are kept there as they are.</source>
        <translation>
            <numerusform>%n línea de %1 no indica ninguna grabación que TrayTape pueda leer; se conserva allí tal cual.</numerusform>
            <numerusform>%n líneas de %1 no indican ninguna grabación que TrayTape pueda leer; se conservan allí tal cual.</numerusform>
        </translation>
    </message>
    <message>
        <source>Exporting</source>
        <translation>Exportando</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Cancelar</translation>
    </message>
    <message>
        <source>Stop the export; nothing is written</source>
        <translation>Detener la exportación; no se escribe nada</translation>
    </message>
    <message>
        <source>Add Recordings…</source>
        <translation>Añadir grabaciones…</translation>
    </message>
    <message>
        <source>Undo</source>
        <translation>Deshacer</translation>
    </message>
    <message>
        <source>Put the row back (Ctrl+Z)</source>
        <translation>Volver a poner la fila (Ctrl+Z)</translation>
    </message>
    <message>
        <source>%1 was removed from the list.</source>
        <translation>%1 se quitó de la lista.</translation>
    </message>
    <message>
        <source>Not moved to the Trash</source>
        <translation>No se movió a la papelera</translation>
    </message>
    <message>
        <source>%1 could not be moved to the Trash: %2.</source>
        <translation>No se pudo mover %1 a la papelera: %2.</translation>
    </message>
    <message>
        <source>Recordings (*.wav *.m4a *.caf *.aac *.mp3 *.flac *.ogg *.opus *.aif *.aiff)</source>
        <translation>Grabaciones (*.wav *.m4a *.caf *.aac *.mp3 *.flac *.ogg *.opus *.aif *.aiff)</translation>
    </message>
    <message>
        <source>All files (*)</source>
        <translation>Todos los archivos (*)</translation>
    </message>
    <message>
        <source>Not added</source>
        <translation>No añadido</translation>
    </message>
    <message numerus="yes">
        <source>%1: no audio TrayTape can play.</source>
        <translation>
            <numerusform>%1: no contiene audio que TrayTape pueda reproducir.</numerusform>
            <numerusform>%1: no contienen audio que TrayTape pueda reproducir.</numerusform>
        </translation>
    </message>
    <message>
        <source>Nothing to export</source>
        <translation>Nada que exportar</translation>
    </message>
    <message>
        <source>The trimmed range holds no audio: move the trim start before the trim end. No file was written.</source>
        <translation>El intervalo recortado no contiene audio: coloque el inicio antes del final. No se escribió ningún archivo.</translation>
    </message>
    <message>
        <source>Export incomplete</source>
        <translation>Exportación incompleta</translation>
    </message>
    <message>
        <source>%1 could not be read to its end; %2 holds the part before that.</source>
        <translation>No se pudo leer %1 hasta el final; %2 contiene la parte anterior.</translation>
    </message>
    <message>
        <source>Export failed</source>
        <translation>Error al exportar</translation>
    </message>
    <message>
        <source>%1 could not be read; nothing was exported.</source>
        <translation>No se pudo leer %1; no se exportó nada.</translation>
    </message>
    <message>
        <source>A recording cannot be exported onto itself; %1 was left as it is.</source>
        <translation>Una grabación no se puede exportar sobre sí misma; %1 se ha dejado como estaba.</translation>
    </message>
    <message>
        <source>%1 is being recorded: choose another file. The recording goes on.</source>
        <translation>Se está grabando en %1: elija otro archivo. La grabación continúa.</translation>
    </message>
    <message>
        <source>%1 could not be created (%2).</source>
        <translation>No se pudo crear %1 (%2).</translation>
    </message>
    <message>
        <source>Writing %1 failed (%2); nothing there was changed.</source>
        <translation>Error al escribir %1 (%2); no se cambió nada allí.</translation>
    </message>
    <message>
        <source>Normalise loudness</source>
        <translation>Normalizar la sonoridad</translation>
    </message>
    <message>
        <source>Measure the loudness (EBU R128) and bring it to the target with one gain; true peaks are kept below -1 dBTP</source>
        <translation>Medir la sonoridad (EBU R128) y llevarla al objetivo con una sola ganancia; los picos reales quedan por debajo de -1 dBTP</translation>
    </message>
    <message>
        <source> LUFS</source>
        <translation> LUFS</translation>
    </message>
    <message>
        <source>Loudness target</source>
        <translation>Sonoridad objetivo</translation>
    </message>
    <message>
        <source>The range is silent: no gain was applied. True peak %1 dBTP.</source>
        <translation>El intervalo está en silencio: no se aplicó ganancia. Pico real %1 dBTP.</translation>
    </message>
    <message>
        <source>Loudness %1 LUFS, gain %2 dB, true peak %3 dBTP.</source>
        <translation>Sonoridad %1 LUFS, ganancia %2 dB, pico real %3 dBTP.</translation>
    </message>
    <message>
        <source>Exported</source>
        <translation>Exportado</translation>
    </message>
    <message>
        <source>Remove from the List</source>
        <translation>Quitar de la lista</translation>
    </message>
    <message>
        <source>Also remove the files of each source of %1 from the list?</source>
        <translation>¿Quitar también de la lista los archivos de cada fuente de %1?</translation>
    </message>
    <message>
        <source>The files stay on the disk either way.</source>
        <translation>Los archivos se quedan en el disco en cualquier caso.</translation>
    </message>
    <message>
        <source>Remove Them Too</source>
        <translation>Quitarlos también</translation>
    </message>
    <message>
        <source>Keep Them Listed</source>
        <translation>Mantenerlos en la lista</translation>
    </message>
</context>
<context>
    <name>AudioRowPool</name>
    <message>
        <source>measuring…</source>
        <translation>midiendo…</translation>
    </message>
    <message>
        <source>%1, part %2 of %3</source>
        <translation>%1, parte %2 de %3</translation>
    </message>
    <message>
        <source>%1, the input alone</source>
        <translation>%1, solo la entrada</translation>
    </message>
    <message>
        <source>%1, the computer&apos;s sound alone</source>
        <translation>%1, solo el sonido del equipo</translation>
    </message>
    <message>
        <source>%1, the application alone</source>
        <translation>%1, solo la aplicación</translation>
    </message>
</context>
<context>
    <name>ConfigAudioWndController</name>
    <message>
        <source>Computer&apos;s sound (what you hear)</source>
        <translation>Sonido del equipo (lo que oye)</translation>
    </message>
    <message>
        <source>Default input</source>
        <translation>Entrada predeterminada</translation>
    </message>
    <message>
        <source>Default input (%1)</source>
        <translation>Entrada predeterminada (%1)</translation>
    </message>
    <message>
        <source>Choose the folder for new recordings</source>
        <translation>Elegir la carpeta para las grabaciones nuevas</translation>
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
        <translation>Frecuencia de la fuente</translation>
    </message>
    <message>
        <source>Stereo</source>
        <translation>Estéreo</translation>
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
        <translation>32 bits en coma flotante</translation>
    </message>
    <message>
        <source>Automatic bit rate</source>
        <translation>Tasa de bits automática</translation>
    </message>
    <message>
        <source>%1 kb/s</source>
        <translation>%1 kb/s</translation>
    </message>
    <message>
        <source>Application: %1</source>
        <translation>Aplicación: %1</translation>
    </message>
</context>
<context>
    <name>ConfigWnd</name>
    <message>
        <source>TrayTape Preferences</source>
        <translation>Preferencias de TrayTape</translation>
    </message>
    <message>
        <source>Record from:</source>
        <translation>Grabar desde:</translation>
    </message>
    <message>
        <source>The microphone or input to record. Choose &quot;Computer&apos;s sound (what you hear)&quot; to record what the computer plays.</source>
        <translation>El micrófono o la entrada que se graba. Elija «Sonido del equipo (lo que oye)» para grabar lo que reproduce el equipo.</translation>
    </message>
    <message>
        <source>Also record the computer&apos;s sound</source>
        <translation>Grabar también el sonido del equipo</translation>
    </message>
    <message>
        <source>Mixes what you hear into the recording, each at its own level</source>
        <translation>Mezcla lo que oye en la grabación, cada uno con su propio nivel</translation>
    </message>
    <message>
        <source>Format:</source>
        <translation>Formato:</translation>
    </message>
    <message>
        <source>Save to:</source>
        <translation>Guardar en:</translation>
    </message>
    <message>
        <source>Choose Folder…</source>
        <translation>Elegir carpeta…</translation>
    </message>
    <message>
        <source>Show Folder</source>
        <translation>Mostrar carpeta</translation>
    </message>
    <message>
        <source>Start TrayTape when I log in</source>
        <translation>Iniciar TrayTape al iniciar sesión</translation>
    </message>
    <message>
        <source>Show each new recording in the file manager</source>
        <translation>Mostrar cada grabación nueva en el gestor de archivos</translation>
    </message>
    <message>
        <source>How do I record the computer&apos;s own sound?</source>
        <translation>¿Cómo grabo el sonido del propio equipo?</translation>
    </message>
    <message>
        <source>Listen when not recording (tray meter, pre-roll)</source>
        <translation>Escuchar cuando no se graba (medidor de nivel, pregrabación)</translation>
    </message>
    <message>
        <source>Off, the input is opened only while recording: the desktop shows no microphone in use and a headset keeps its best sound profile, but the tray meter rests until a recording starts.</source>
        <translation>Desactivado, la entrada solo se abre mientras se graba: el escritorio no muestra ningún micrófono en uso y unos auriculares conservan su mejor perfil de sonido, pero el medidor de nivel descansa hasta que empieza una grabación.</translation>
    </message>
    <message>
        <source>Sample rate</source>
        <translation>Frecuencia de muestreo</translation>
    </message>
    <message>
        <source>Channels</source>
        <translation>Canales</translation>
    </message>
    <message>
        <source>Bit depth</source>
        <translation>Profundidad de bits</translation>
    </message>
    <message>
        <source>Bit rate</source>
        <translation>Tasa de bits</translation>
    </message>
    <message>
        <source>Split:</source>
        <translation>Dividir:</translation>
    </message>
    <message>
        <source>Cuts a long recording into parts of this length, &quot;NAME 001&quot;, &quot;NAME 002&quot;…, which join without a gap</source>
        <translation>Divide una grabación larga en partes de esta duración, «NAME 001», «NAME 002»…, que se unen sin huecos</translation>
    </message>
    <message>
        <source>One file</source>
        <translation>Un solo archivo</translation>
    </message>
    <message>
        <source>Every 15 minutes</source>
        <translation>Cada 15 minutos</translation>
    </message>
    <message>
        <source>Every 30 minutes</source>
        <translation>Cada 30 minutos</translation>
    </message>
    <message>
        <source>Every hour</source>
        <translation>Cada hora</translation>
    </message>
    <message>
        <source>Every 2 hours</source>
        <translation>Cada 2 horas</translation>
    </message>
    <message>
        <source>Pre-roll:</source>
        <translation>Pregrabación:</translation>
    </message>
    <message>
        <source>Keep the last</source>
        <translation>Conservar los últimos</translation>
    </message>
    <message>
        <source>seconds before Record</source>
        <translation>segundos antes de grabar</translation>
    </message>
    <message>
        <source>On sound:</source>
        <translation>Con sonido:</translation>
    </message>
    <message>
        <source>Start at</source>
        <translation>Empezar a</translation>
    </message>
    <message>
        <source>stop after</source>
        <translation>parar tras</translation>
    </message>
    <message>
        <source>Seconds below the level that end a take; 0 records until you stop.</source>
        <translation>Segundos por debajo del nivel que terminan una toma; 0 graba hasta que usted pare.</translation>
    </message>
    <message>
        <source>of silence</source>
        <translation>de silencio</translation>
    </message>
    <message>
        <source>Also keep each source in its own file</source>
        <translation>Guardar también cada fuente en su propio archivo</translation>
    </message>
    <message>
        <source>Beside the mix, the input and the computer&apos;s sound each in a file of its own (NAME.input and NAME.system), as loud as they came in</source>
        <translation>Junto a la mezcla, la entrada y el sonido del equipo cada uno en su propio archivo (NOMBRE.input y NOMBRE.system), tal como llegaron</translation>
    </message>
</context>
<context>
    <name>EngineWords</name>
    <message>
        <source>no such folder</source>
        <translation>la carpeta no existe</translation>
    </message>
    <message>
        <source>permission denied</source>
        <translation>permiso denegado</translation>
    </message>
    <message>
        <source>not a regular file</source>
        <translation>no es un archivo normal</translation>
    </message>
    <message>
        <source>the disk is full</source>
        <translation>el disco está lleno</translation>
    </message>
    <message>
        <source>format not supported</source>
        <translation>formato no compatible</translation>
    </message>
    <message>
        <source>name too long</source>
        <translation>nombre demasiado largo</translation>
    </message>
    <message>
        <source>path too long</source>
        <translation>ruta demasiado larga</translation>
    </message>
    <message>
        <source>its hidden file was replaced by another program while it was written; nothing was put in place</source>
        <translation>otro programa sustituyó su archivo oculto mientras se escribía; no se colocó nada</translation>
    </message>
    <message>
        <source>the folder belongs to another user</source>
        <translation>la carpeta pertenece a otro usuario</translation>
    </message>
    <message>
        <source>stopped before any audio arrived; no file was kept</source>
        <translation>se detuvo antes de que llegara audio; no se conservó ningún archivo</translation>
    </message>
    <message>
        <source>cancelled; no file was kept</source>
        <translation>cancelado; no se conservó ningún archivo</translation>
    </message>
    <message>
        <source>write-protected</source>
        <translation>protegido contra escritura</translation>
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
        <translation>Le damos la bienvenida a TrayTape</translation>
    </message>
    <message>
        <source>Show this window when TrayTape starts</source>
        <translation>Mostrar esta ventana al iniciar TrayTape</translation>
    </message>
    <message>
        <source>Close</source>
        <translation>Cerrar</translation>
    </message>
    <message>
        <source>TrayTape Recording</source>
        <translation>Grabación de TrayTape</translation>
    </message>
    <message>
        <source>Start or stop a recording</source>
        <translation>Iniciar o detener una grabación</translation>
    </message>
    <message>
        <source>Pause Recording</source>
        <translation>Pausar la grabación</translation>
    </message>
    <message>
        <source>Start Record</source>
        <translation>Iniciar la grabación</translation>
    </message>
    <message>
        <source>The input this panel records</source>
        <translation>La entrada que graba este panel</translation>
    </message>
    <message>
        <source>Input level</source>
        <translation>Nivel de entrada</translation>
    </message>
    <message>
        <source>The two parts of the recording, each at its own level</source>
        <translation>Las dos partes de la grabación, cada una con su propio nivel</translation>
    </message>
    <message>
        <source>Open this panel when TrayTape starts</source>
        <translation>Abrir este panel al iniciar TrayTape</translation>
    </message>
    <message>
        <source>Recorded Time: 00:00:00</source>
        <translation>Tiempo grabado: 00:00:00</translation>
    </message>
    <message>
        <source>Recording Panel</source>
        <translation>Panel de grabación</translation>
    </message>
    <message>
        <source>Library</source>
        <translation>Biblioteca</translation>
    </message>
    <message>
        <source>Preferences…</source>
        <translation>Preferencias…</translation>
    </message>
    <message>
        <source>TrayTape Help</source>
        <translation>Ayuda de TrayTape</translation>
    </message>
    <message>
        <source>Support Website</source>
        <translation>Sitio web de asistencia</translation>
    </message>
    <message>
        <source>Quit TrayTape</source>
        <translation>Salir de TrayTape</translation>
    </message>
    <message>
        <source>Add Marker</source>
        <translation>Añadir marcador</translation>
    </message>
    <message>
        <source>Add Marker (M)</source>
        <translation>Añadir marcador (M)</translation>
    </message>
    <message>
        <source>Record When Sound Starts</source>
        <translation>Grabar cuando empiece el sonido</translation>
    </message>
</context>
<context>
    <name>NotificationActions</name>
    <message>
        <source>Open</source>
        <translation>Abrir</translation>
    </message>
    <message>
        <source>Show in File Manager</source>
        <translation>Mostrar en el gestor de archivos</translation>
    </message>
</context>
<context>
    <name>SingleInstance</name>
    <message>
        <source>TrayTape is not running (%1 is not a lock file)</source>
        <translation>TrayTape no se está ejecutando (%1 no es un archivo de bloqueo)</translation>
    </message>
    <message>
        <source>TrayTape is running but does not answer</source>
        <translation>TrayTape se está ejecutando pero no responde</translation>
    </message>
    <message>
        <source>TrayTape is not running</source>
        <translation>TrayTape no se está ejecutando</translation>
    </message>
    <message>
        <source>TrayTape did not answer</source>
        <translation>TrayTape no respondió</translation>
    </message>
    <message>
        <source>unknown command</source>
        <translation>orden desconocida</translation>
    </message>
    <message>
        <source>not ready</source>
        <translation>no está listo</translation>
    </message>
</context>
<context>
    <name>SleepInhibitor</name>
    <message>
        <source>TrayTape is recording</source>
        <translation>TrayTape está grabando</translation>
    </message>
</context>
<context>
    <name>Trash</name>
    <message>
        <source>it is not a file that is there</source>
        <translation>no es un archivo que exista</translation>
    </message>
    <message>
        <source>it is on another disk than the Trash</source>
        <translation>está en otro disco que la papelera</translation>
    </message>
    <message>
        <source>the Trash holds too many files of that name</source>
        <translation>la papelera contiene demasiados archivos con ese nombre</translation>
    </message>
</context>
<context>
    <name>TrayIcons</name>
    <message>
        <source>Menu</source>
        <translation>Menú</translation>
    </message>
    <message>
        <source>TrayTape menu</source>
        <translation>Menú de TrayTape</translation>
    </message>
    <message>
        <source>TrayTape input level</source>
        <translation>Nivel de entrada de TrayTape</translation>
    </message>
</context>
</TS>
