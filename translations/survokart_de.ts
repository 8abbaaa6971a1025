<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de_DE">
<context>
    <name>AppSettings</name>
    <message>
        <source>The settings could not be saved to %1.</source>
        <translation>Die Einstellungen konnten nicht in %1 gespeichert werden.</translation>
    </message>
</context>
<context>
    <name>ConnectDialog</name>
    <message>
        <source>Connect to device</source>
        <translation>Mit Gerät verbinden</translation>
    </message>
    <message>
        <source>Way of connecting</source>
        <translation>Verbindungsart</translation>
    </message>
    <message>
        <source>USB</source>
        <translation>USB</translation>
    </message>
    <message>
        <source>Select USB device</source>
        <translation>USB-Gerät auswählen</translation>
    </message>
    <message>
        <source>Bluetooth</source>
        <translation>Bluetooth</translation>
    </message>
    <message>
        <source>Select bluetooth device</source>
        <translation>Bluetooth-Gerät auswählen</translation>
    </message>
    <message>
        <source>Discover</source>
        <translation>Suchen</translation>
    </message>
    <message>
        <source>Net</source>
        <translation>Netz</translation>
    </message>
    <message>
        <source>Select network device</source>
        <translation>Netzwerkgerät auswählen</translation>
    </message>
    <message>
        <source>Connect to a typed IP address</source>
        <translation>Mit eingegebener IP-Adresse verbinden</translation>
    </message>
    <message>
        <source>IP adress:</source>
        <translation>IP-Adresse:</translation>
    </message>
    <message>
        <source>Default port:</source>
        <translation>Standardport:</translation>
    </message>
    <message>
        <source>Port</source>
        <translation>Port</translation>
    </message>
    <message>
        <source>Select</source>
        <translation>Auswählen</translation>
    </message>
    <message>
        <source>Close</source>
        <translation>Schließen</translation>
    </message>
    <message>
        <source>Wrong port</source>
        <translation>Falscher Port</translation>
    </message>
    <message>
        <source>You have entered wrong port number!</source>
        <translation>Die eingegebene Portnummer ist ungültig!</translation>
    </message>
    <message>
        <source>Wrong address</source>
        <translation>Falsche Adresse</translation>
    </message>
    <message>
        <source>You have entered wrong IP address!</source>
        <translation>Die eingegebene IP-Adresse ist ungültig!</translation>
    </message>
</context>
<context>
    <name>DeviceLibrary</name>
    <message>
        <source>The device library is already running.</source>
        <translation>Die Gerätebibliothek läuft bereits.</translation>
    </message>
    <message>
        <source>MXX initialization failed!</source>
        <translation>MXX-Initialisierung fehlgeschlagen!</translation>
    </message>
</context>
<context>
    <name>DeviceStatusWidget</name>
    <message>
        <source>Device status</source>
        <translation>Gerätestatus</translation>
    </message>
    <message>
        <source>Connect device %1</source>
        <translation>Gerät %1 verbinden</translation>
    </message>
    <message>
        <source>Serial number:</source>
        <translation>Seriennummer:</translation>
    </message>
    <message>
        <source>Latitude:</source>
        <translation>Breite:</translation>
    </message>
    <message>
        <source>Data Recording:</source>
        <translation>Datenaufzeichnung:</translation>
    </message>
    <message>
        <source>Off</source>
        <translation>Aus</translation>
    </message>
    <message>
        <source>On</source>
        <translation>Ein</translation>
    </message>
    <message>
        <source>Longitude:</source>
        <translation>Länge:</translation>
    </message>
    <message>
        <source>Error status:</source>
        <translation>Fehlerstatus:</translation>
    </message>
    <message>
        <source>Altitude:</source>
        <translation>Höhe:</translation>
    </message>
    <message>
        <source>Download Data</source>
        <translation>Daten herunterladen</translation>
    </message>
    <message>
        <source>Dose rate</source>
        <translation>Dosisleistung</translation>
    </message>
    <message>
        <source>Restart device</source>
        <translation>Gerät neu starten</translation>
    </message>
    <message>
        <source>Disconnect device</source>
        <translation>Gerät trennen</translation>
    </message>
    <message>
        <source>CPS</source>
        <translation>CPS</translation>
    </message>
    <message>
        <source>Up</source>
        <translation>Hoch</translation>
    </message>
    <message>
        <source>Left</source>
        <translation>Links</translation>
    </message>
    <message>
        <source>OK</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>Right</source>
        <translation>Rechts</translation>
    </message>
    <message>
        <source>Down</source>
        <translation>Runter</translation>
    </message>
    <message>
        <source>Display mirror</source>
        <translation>Displayspiegel</translation>
    </message>
    <message>
        <source>Turn off</source>
        <translation>Ausschalten</translation>
    </message>
    <message>
        <source>Update 500 ms</source>
        <translation>Aktualisierung 500 ms</translation>
    </message>
    <message>
        <source>Update 1000 ms</source>
        <translation>Aktualisierung 1000 ms</translation>
    </message>
    <message>
        <source>Instrument display</source>
        <translation>Gerätedisplay</translation>
    </message>
    <message>
        <source>one</source>
        <translation>eins</translation>
    </message>
    <message>
        <source> two</source>
        <translation>zwei</translation>
    </message>
    <message>
        <source> three</source>
        <translation>drei</translation>
    </message>
    <message>
        <source>Device connection error!</source>
        <translation>Verbindungsfehler des Geräts!</translation>
    </message>
    <message>
        <source>Error</source>
        <translation>Fehler</translation>
    </message>
    <message>
        <source>No errors</source>
        <translation>Keine Fehler</translation>
    </message>
    <message>
        <source>Device not connected!</source>
        <translation>Gerät nicht verbunden!</translation>
    </message>
    <message>
        <source>Incompatible device!</source>
        <translation>Inkompatibles Gerät!</translation>
    </message>
    <message>
        <source>Stop reconnecting</source>
        <translation>Erneutes Verbinden beenden</translation>
    </message>
    <message>
        <source>Connected since %1</source>
        <translation>Verbunden seit %1</translation>
    </message>
</context>
<context>
    <name>DistanceDialog</name>
    <message>
        <source>Distance</source>
        <translation>Entfernung</translation>
    </message>
    <message>
        <source>Clear</source>
        <translation>Löschen</translation>
    </message>
    <message>
        <source>1st Point</source>
        <translation>1. Punkt</translation>
    </message>
    <message>
        <source>2nd Point</source>
        <translation>2. Punkt</translation>
    </message>
    <message>
        <source>Exit</source>
        <translation>Schließen</translation>
    </message>
</context>
<context>
    <name>DownloadDialog</name>
    <message>
        <source>Download data</source>
        <translation>Daten herunterladen</translation>
    </message>
    <message>
        <source>Da&amp;ys</source>
        <translation>Ta&amp;ge</translation>
    </message>
    <message>
        <source>Fewer days</source>
        <translation>Weniger Tage</translation>
    </message>
    <message>
        <source>Days</source>
        <translation>Tage</translation>
    </message>
    <message>
        <source>More days</source>
        <translation>Mehr Tage</translation>
    </message>
    <message>
        <source>Hours</source>
        <translation>Stunden</translation>
    </message>
    <message>
        <source>Fewer hours</source>
        <translation>Weniger Stunden</translation>
    </message>
    <message>
        <source>More hours</source>
        <translation>Mehr Stunden</translation>
    </message>
    <message>
        <source>A&amp;ll</source>
        <translation>A&amp;lle</translation>
    </message>
    <message>
        <source>Download progress</source>
        <translation>Download-Fortschritt</translation>
    </message>
    <message>
        <source>Start</source>
        <translation>Start</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Abbrechen</translation>
    </message>
    <message>
        <source>Error</source>
        <translation>Fehler</translation>
    </message>
    <message>
        <source>The points were downloaded, but the chosen period could not be saved: the settings file is not writable.</source>
        <translation>Die Punkte wurden heruntergeladen, aber der gewählte Zeitraum konnte nicht gespeichert werden: Die Einstellungsdatei ist nicht beschreibbar.</translation>
    </message>
    <message>
        <source>Wrong value!</source>
        <translation>Falscher Wert!</translation>
    </message>
    <message>
        <source>Download survey indices failed!</source>
        <translation>Herunterladen des Messungsverzeichnisses fehlgeschlagen!</translation>
    </message>
    <message>
        <source>Download of survey record %1 failed!</source>
        <translation>Herunterladen des Messdatensatzes %1 fehlgeschlagen!</translation>
    </message>
</context>
<context>
    <name>Geotagger</name>
    <message>
        <source>GPS information not available!</source>
        <translation>GPS-Informationen nicht verfügbar!</translation>
    </message>
    <message>
        <source>GPS information could not be saved to %1: %2</source>
        <translation>GPS-Informationen konnten nicht in %1 gespeichert werden: %2</translation>
    </message>
    <message>
        <source>GPS information was not saved: %1 is not a regular file</source>
        <translation>GPS-Informationen nicht gespeichert: %1 ist keine reguläre Datei</translation>
    </message>
    <message>
        <source>GPS information was not saved: %1 belongs to another user</source>
        <translation>GPS-Informationen nicht gespeichert: %1 gehört einem anderen Benutzer</translation>
    </message>
</context>
<context>
    <name>LinkKeeper</name>
    <message>
        <source>Waiting for the instrument since %1 (attempt %2)</source>
        <translation>Warte seit %1 auf das Gerät (Versuch %2)</translation>
    </message>
    <message>
        <source>Link lost at %1, reconnecting (attempt %2)</source>
        <translation>Verbindung um %1 verloren, verbinde erneut (Versuch %2)</translation>
    </message>
    <message numerus="yes">
        <source>Link lost at %1; gave up after %n attempt(s). Connect it again when the instrument is back.</source>
        <translation>
            <numerusform>Verbindung um %1 verloren; nach %n Versuch aufgegeben. Verbinden Sie es erneut, wenn das Gerät zurück ist.</numerusform>
            <numerusform>Verbindung um %1 verloren; nach %n Versuchen aufgegeben. Verbinden Sie es erneut, wenn das Gerät zurück ist.</numerusform>
        </translation>
    </message>
</context>
<context>
    <name>MainWindow</name>
    <message>
        <source>Corvanta Survokart</source>
        <translation>Corvanta Survokart</translation>
    </message>
    <message>
        <source>Show GPS</source>
        <translation>GPS anzeigen</translation>
    </message>
    <message>
        <source>Distance</source>
        <translation>Entfernung</translation>
    </message>
    <message>
        <source>Clear Map</source>
        <translation>Karte leeren</translation>
    </message>
    <message>
        <source>Settings</source>
        <translation>Einstellungen</translation>
    </message>
    <message>
        <source>Quit</source>
        <translation>Beenden</translation>
    </message>
    <message>
        <source>Actual</source>
        <translation>Aktuell</translation>
    </message>
    <message>
        <source>Device 1</source>
        <translation>Gerät 1</translation>
    </message>
    <message>
        <source>Device 2</source>
        <translation>Gerät 2</translation>
    </message>
    <message>
        <source>Device 3</source>
        <translation>Gerät 3</translation>
    </message>
    <message>
        <source>Latitude:</source>
        <translation>Breite:</translation>
    </message>
    <message>
        <source>Longitude:</source>
        <translation>Länge:</translation>
    </message>
    <message>
        <source>Altitude:</source>
        <translation>Höhe:</translation>
    </message>
    <message>
        <source>Dose rate:</source>
        <translation>Dosisleistung:</translation>
    </message>
    <message>
        <source>CPS:</source>
        <translation>CPS:</translation>
    </message>
    <message>
        <source>Distance:</source>
        <translation>Entfernung:</translation>
    </message>
    <message>
        <source>Azimuth:</source>
        <translation>Azimut:</translation>
    </message>
    <message>
        <source>   MAP   </source>
        <translation>   KARTE   </translation>
    </message>
    <message>
        <source>Map</source>
        <translation>Karte</translation>
    </message>
    <message>
        <source>DEVICE STATUS</source>
        <translation>GERÄTESTATUS</translation>
    </message>
    <message>
        <source>Measure distance</source>
        <translation>Entfernung messen</translation>
    </message>
    <message>
        <source>Preparing the map: %1 %</source>
        <translation>Karte wird vorbereitet: %1 %</translation>
    </message>
    <message>
        <source>Error</source>
        <translation>Fehler</translation>
    </message>
    <message>
        <source>Picture folder not found</source>
        <translation>Bilderordner nicht gefunden</translation>
    </message>
    <message>
        <source>Info</source>
        <translation>Info</translation>
    </message>
    <message>
        <source>GPS information saved to file!</source>
        <translation>GPS-Informationen in Datei gespeichert!</translation>
    </message>
    <message>
        <source>Device %1</source>
        <translation>Gerät %1</translation>
    </message>
    <message>
        <source>Do you really want to delete all map points?</source>
        <translation>Wirklich alle Kartenpunkte löschen?</translation>
    </message>
    <message>
        <source>Hide GPS</source>
        <translation>GPS ausblenden</translation>
    </message>
    <message>
        <source>Survey journal</source>
        <translation>Messjournal</translation>
    </message>
    <message>
        <source>Survey</source>
        <translation>Messung</translation>
    </message>
    <message>
        <source>The last survey was interrupted (%1). Do you want to go on with it? No starts a new survey and keeps the old one&apos;s file.</source>
        <translation>Die letzte Messung wurde unterbrochen (%1). Möchten Sie sie fortsetzen? Nein beginnt eine neue Messung und behält die Datei der alten.</translation>
    </message>
    <message>
        <source>No survey journal could be started, so readings are not kept: %1</source>
        <translation>Es konnte kein Messjournal begonnen werden, Messwerte werden daher nicht gespeichert: %1</translation>
    </message>
    <message>
        <source>%1, points: %2</source>
        <translation>%1, Punkte: %2</translation>
    </message>
    <message>
        <source>The survey journal could not be closed properly: %1</source>
        <translation>Das Messjournal konnte nicht ordnungsgemäß geschlossen werden: %1</translation>
    </message>
    <message>
        <source>&amp;File</source>
        <translation>&amp;Datei</translation>
    </message>
    <message>
        <source>&amp;New survey…</source>
        <translation>&amp;Neue Messung…</translation>
    </message>
    <message>
        <source>Ends the current survey and starts one with a name of your choice</source>
        <translation>Beendet die laufende Messung und beginnt eine mit einem Namen Ihrer Wahl</translation>
    </message>
    <message>
        <source>&amp;End survey</source>
        <translation>Messung &amp;beenden</translation>
    </message>
    <message>
        <source>Ends the current survey; readings go on into a new one</source>
        <translation>Beendet die laufende Messung; die Messwerte gehen in eine neue</translation>
    </message>
    <message>
        <source>&amp;Open survey…</source>
        <translation>Messung ö&amp;ffnen…</translation>
    </message>
    <message>
        <source>Ctrl+O</source>
        <translation>Ctrl+O</translation>
    </message>
    <message>
        <source>Draws a journalled survey&apos;s track on the map</source>
        <translation>Zeichnet die Spur einer gespeicherten Messung auf die Karte</translation>
    </message>
    <message>
        <source>E&amp;xport survey…</source>
        <translation>Messung e&amp;xportieren…</translation>
    </message>
    <message>
        <source>Ctrl+E</source>
        <translation>Ctrl+E</translation>
    </message>
    <message>
        <source>Writes the survey on the map as CSV, GeoJSON, KML or GPX</source>
        <translation>Schreibt die Messung auf der Karte als CSV, GeoJSON, KML oder GPX</translation>
    </message>
    <message>
        <source>On the map: %1, points: %2</source>
        <translation>Auf der Karte: %1, Punkte: %2</translation>
    </message>
    <message>
        <source>CSV table (*.csv)</source>
        <translation>CSV-Tabelle (*.csv)</translation>
    </message>
    <message>
        <source>GeoJSON (*.geojson)</source>
        <translation>GeoJSON (*.geojson)</translation>
    </message>
    <message>
        <source>KML, for Google Earth (*.kml)</source>
        <translation>KML, für Google Earth (*.kml)</translation>
    </message>
    <message>
        <source>GPX, for GPS tools (*.gpx)</source>
        <translation>GPX, für GPS-Programme (*.gpx)</translation>
    </message>
    <message>
        <source>The survey could not be read to its end; what was read is on the map: %1</source>
        <translation>Die Messung konnte nicht bis zum Ende gelesen werden; was gelesen wurde, ist auf der Karte: %1</translation>
    </message>
    <message>
        <source>New survey</source>
        <translation>Neue Messung</translation>
    </message>
    <message>
        <source>The current survey ends. Name of the new one:</source>
        <translation>Die laufende Messung endet. Name der neuen:</translation>
    </message>
    <message>
        <source>%1 ended; %2 started.</source>
        <translation>%1 beendet; %2 begonnen.</translation>
    </message>
    <message>
        <source>Open survey</source>
        <translation>Messung öffnen</translation>
    </message>
    <message>
        <source>Survey journals (*.gpkg)</source>
        <translation>Messjournale (*.gpkg)</translation>
    </message>
    <message>
        <source>There is no survey to export.</source>
        <translation>Es gibt keine Messung zum Exportieren.</translation>
    </message>
    <message>
        <source>Export survey</source>
        <translation>Messung exportieren</translation>
    </message>
    <message>
        <source>Exporting %1…</source>
        <translation>%1 wird exportiert…</translation>
    </message>
    <message>
        <source>The survey was exported to %1.</source>
        <translation>Die Messung wurde nach %1 exportiert.</translation>
    </message>
    <message>
        <source>The survey could not be exported: %1</source>
        <translation>Die Messung konnte nicht exportiert werden: %1</translation>
    </message>
</context>
<context>
    <name>ParamsDialog</name>
    <message>
        <source>Params</source>
        <translation>Parameter</translation>
    </message>
    <message>
        <source>Parameters</source>
        <translation>Parameter</translation>
    </message>
    <message>
        <source>Value</source>
        <translation>Wert</translation>
    </message>
    <message>
        <source>Corvanta parameters</source>
        <translation>Corvanta-Parameter</translation>
    </message>
    <message>
        <source>Save</source>
        <translation>Speichern</translation>
    </message>
    <message>
        <source>Load</source>
        <translation>Laden</translation>
    </message>
    <message>
        <source>Choose a file to store the parameters</source>
        <translation>Datei zum Speichern der Parameter wählen</translation>
    </message>
    <message>
        <source>The parameters were not saved. %1</source>
        <translation>Die Parameter wurden nicht gespeichert. %1</translation>
    </message>
    <message>
        <source>Choose a file to load the parameters</source>
        <translation>Datei zum Laden der Parameter wählen</translation>
    </message>
    <message>
        <source>The parameters were not loaded. %1</source>
        <translation>Die Parameter wurden nicht geladen. %1</translation>
    </message>
</context>
<context>
    <name>ParamsTree</name>
    <message>
        <source>Params</source>
        <translation>Parameter</translation>
    </message>
    <message>
        <source>Value</source>
        <translation>Wert</translation>
    </message>
    <message>
        <source>Row height</source>
        <translation>Zeilenhöhe</translation>
    </message>
</context>
<context>
    <name>QObject</name>
    <message>
        <source>Could not write %1.</source>
        <translation>%1 konnte nicht geschrieben werden.</translation>
    </message>
</context>
<context>
    <name>SettingsDialog</name>
    <message>
        <source>Settings</source>
        <translation>Einstellungen</translation>
    </message>
    <message>
        <source>Map source:</source>
        <translation>Kartenquelle:</translation>
    </message>
    <message>
        <source>Browse</source>
        <translation>Durchsuchen</translation>
    </message>
    <message>
        <source>Browse for the map</source>
        <translation>Nach der Karte suchen</translation>
    </message>
    <message>
        <source>Ctrl+S</source>
        <translation>Ctrl+S</translation>
    </message>
    <message>
        <source>Picture dir:</source>
        <translation>Bilderordner:</translation>
    </message>
    <message>
        <source>Browse for the picture folder</source>
        <translation>Nach dem Bilderordner suchen</translation>
    </message>
    <message>
        <source>Track radius:</source>
        <translation>Spurradius:</translation>
    </message>
    <message>
        <source>Font scale factor [%]</source>
        <translation>Schriftskalierung [%]</translation>
    </message>
    <message>
        <source>Map points:</source>
        <translation>Kartenpunkte:</translation>
    </message>
    <message>
        <source>Dose rate</source>
        <translation>Dosisleistung</translation>
    </message>
    <message>
        <source>Counts per second (CPS)</source>
        <translation>Impulse pro Sekunde (CPS)</translation>
    </message>
    <message>
        <source>Clear Map</source>
        <translation>Karte leeren</translation>
    </message>
    <message>
        <source>Threshold 1</source>
        <translation>Schwelle 1</translation>
    </message>
    <message>
        <source>Colour 1</source>
        <translation>Farbe 1</translation>
    </message>
    <message>
        <source>Change color</source>
        <translation>Farbe ändern</translation>
    </message>
    <message>
        <source>Change color 1</source>
        <translation>Farbe 1 ändern</translation>
    </message>
    <message>
        <source>Threshold 2</source>
        <translation>Schwelle 2</translation>
    </message>
    <message>
        <source>Colour 2</source>
        <translation>Farbe 2</translation>
    </message>
    <message>
        <source>Change color 2</source>
        <translation>Farbe 2 ändern</translation>
    </message>
    <message>
        <source>Threshold 3</source>
        <translation>Schwelle 3</translation>
    </message>
    <message>
        <source>Colour 3</source>
        <translation>Farbe 3</translation>
    </message>
    <message>
        <source>Change color 3</source>
        <translation>Farbe 3 ändern</translation>
    </message>
    <message>
        <source>Threshold 4</source>
        <translation>Schwelle 4</translation>
    </message>
    <message>
        <source>Colour 4</source>
        <translation>Farbe 4</translation>
    </message>
    <message>
        <source>Change color 4</source>
        <translation>Farbe 4 ändern</translation>
    </message>
    <message>
        <source>Threshold 5</source>
        <translation>Schwelle 5</translation>
    </message>
    <message>
        <source>Colour 5</source>
        <translation>Farbe 5</translation>
    </message>
    <message>
        <source>Change color 5</source>
        <translation>Farbe 5 ändern</translation>
    </message>
    <message>
        <source>Ok</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Abbrechen</translation>
    </message>
    <message>
        <source>Choose a color</source>
        <translation>Farbe wählen</translation>
    </message>
    <message>
        <source>Open Directory</source>
        <translation>Ordner öffnen</translation>
    </message>
    <message>
        <source>Images (*.jpg *.png);;All files (*.*)</source>
        <translation>Bilder (*.jpg *.png);;Alle Dateien (*.*)</translation>
    </message>
    <message>
        <source>Dose-rate alarm:</source>
        <translation>Dosisleistungsalarm:</translation>
    </message>
    <message>
        <source>Alarm above this dose rate, in the unit the instrument reports (for example nSv/h); 0 switches the alarm off</source>
        <translation>Alarm über dieser Dosisleistung, in der Einheit, die das Gerät meldet (zum Beispiel nSv/h); 0 schaltet den Alarm aus</translation>
    </message>
    <message>
        <source>Off</source>
        <translation>Aus</translation>
    </message>
    <message>
        <source>Count-rate alarm [cps]:</source>
        <translation>Zählratenalarm [cps]:</translation>
    </message>
    <message>
        <source>Alarm above this count rate; 0 switches the alarm off</source>
        <translation>Alarm über dieser Zählrate; 0 schaltet den Alarm aus</translation>
    </message>
    <message>
        <source>Instruments</source>
        <translation>Geräte</translation>
    </message>
    <message>
        <source>Reconnect last instruments at start</source>
        <translation>Beim Start die letzten Geräte wieder verbinden</translation>
    </message>
    <message>
        <source>Give up a lost link after (attempts, 0 = never):</source>
        <translation>Verlorene Verbindung aufgeben nach (Versuche, 0 = nie):</translation>
    </message>
</context>
<context>
    <name>SettingsParamsSerializer</name>
    <message>
        <source>The settings store cannot be written.</source>
        <translation>Der Einstellungsspeicher kann nicht beschrieben werden.</translation>
    </message>
    <message>
        <source>The settings store is damaged.</source>
        <translation>Der Einstellungsspeicher ist beschädigt.</translation>
    </message>
</context>
<context>
    <name>SimpleParamsSerializer</name>
    <message>
        <source>Cannot open %1: %2</source>
        <translation>%1 kann nicht geöffnet werden: %2</translation>
    </message>
    <message>
        <source>%1 is not a regular file. Choose a parameter file saved by Survokart.</source>
        <translation>%1 ist keine reguläre Datei. Wählen Sie eine von Survokart gespeicherte Parameterdatei.</translation>
    </message>
    <message>
        <source>Cannot read %1: %2</source>
        <translation>%1 kann nicht gelesen werden: %2</translation>
    </message>
    <message>
        <source>%1 is too large for a parameter file.</source>
        <translation>%1 ist zu groß für eine Parameterdatei.</translation>
    </message>
    <message>
        <source>The parameter name &quot;%1&quot; cannot be written to a file.</source>
        <translation>Der Parametername „%1“ kann nicht in eine Datei geschrieben werden.</translation>
    </message>
    <message>
        <source>The value of %1 contains a line break and cannot be written.</source>
        <translation>Der Wert von %1 enthält einen Zeilenumbruch und kann nicht geschrieben werden.</translation>
    </message>
    <message>
        <source>Cannot write %1: %2</source>
        <translation>%1 kann nicht geschrieben werden: %2</translation>
    </message>
</context>
<context>
    <name>SpectrumWidget</name>
    <message>
        <source>Spectrum</source>
        <translation>Spektrum</translation>
    </message>
    <message>
        <source>No spectrum received yet</source>
        <translation>Noch kein Spektrum empfangen</translation>
    </message>
    <message>
        <source>Channel (counts, logarithmic)</source>
        <translation>Kanal (Impulse, logarithmisch)</translation>
    </message>
    <message>
        <source>Channel (counts)</source>
        <translation>Kanal (Impulse)</translation>
    </message>
</context>
<context>
    <name>StatisticsDialog</name>
    <message>
        <source>Statistics</source>
        <translation>Statistik</translation>
    </message>
    <message>
        <source>Duration:</source>
        <translation>Dauer:</translation>
    </message>
    <message>
        <source>Distance walked:</source>
        <translation>Zurückgelegte Strecke:</translation>
    </message>
    <message>
        <source>Cumulative dose:</source>
        <translation>Kumulierte Dosis:</translation>
    </message>
    <message>
        <source>Lowest dose rate:</source>
        <translation>Niedrigste Dosisleistung:</translation>
    </message>
    <message>
        <source>Mean dose rate:</source>
        <translation>Mittlere Dosisleistung:</translation>
    </message>
    <message>
        <source>Highest dose rate:</source>
        <translation>Höchste Dosisleistung:</translation>
    </message>
    <message>
        <source>Highest at (time):</source>
        <translation>Höchstwert um (Zeit):</translation>
    </message>
    <message>
        <source>Highest at (place):</source>
        <translation>Höchstwert bei (Ort):</translation>
    </message>
    <message>
        <source>Readings with a fix:</source>
        <translation>Messwerte mit GPS-Fix:</translation>
    </message>
    <message>
        <source>Readings without a fix:</source>
        <translation>Messwerte ohne GPS-Fix:</translation>
    </message>
    <message>
        <source>Gaps in the readings:</source>
        <translation>Lücken in den Messwerten:</translation>
    </message>
    <message>
        <source>Statistics of device %1</source>
        <translation>Statistik von Gerät %1</translation>
    </message>
    <message>
        <source>%1 m</source>
        <translation>%1 m</translation>
    </message>
    <message>
        <source>no fix</source>
        <translation>kein GPS-Fix</translation>
    </message>
    <message numerus="yes">
        <source>%n gap(s), %1 in all</source>
        <translation>
            <numerusform>%n Lücke, %1 insgesamt</numerusform>
            <numerusform>%n Lücken, %1 insgesamt</numerusform>
        </translation>
    </message>
</context>
<context>
    <name>SurveyExport</name>
    <message>
        <source>GDAL has no %1 driver</source>
        <translation>GDAL hat keinen %1-Treiber</translation>
    </message>
    <message>
        <source>%1, instrument %2</source>
        <translation>%1, Gerät %2</translation>
    </message>
    <message>
        <source>cannot write the %1 export: %2</source>
        <translation>der %1-Export kann nicht geschrieben werden: %2</translation>
    </message>
    <message>
        <source>cannot write %1: %2</source>
        <translation>%1 kann nicht geschrieben werden: %2</translation>
    </message>
    <message>
        <source>%1 is the survey journal itself; choose another file</source>
        <translation>%1 ist das Messjournal selbst; wählen Sie eine andere Datei</translation>
    </message>
</context>
<context>
    <name>SurveyJournal</name>
    <message>
        <source>the file is damaged or is not a survey journal</source>
        <translation>die Datei ist beschädigt oder kein Messjournal</translation>
    </message>
    <message>
        <source>another program is using it; close it there or start a new survey</source>
        <translation>ein anderes Programm benutzt sie; schließen Sie sie dort oder beginnen Sie eine neue Messung</translation>
    </message>
    <message>
        <source>the disk is full</source>
        <translation>der Datenträger ist voll</translation>
    </message>
    <message>
        <source>it is read-only</source>
        <translation>sie ist schreibgeschützt</translation>
    </message>
    <message>
        <source>the disk could not be read or written (%1)</source>
        <translation>der Datenträger konnte nicht gelesen oder beschrieben werden (%1)</translation>
    </message>
    <message>
        <source>it is a link; open the file it points to instead</source>
        <translation>sie ist ein Verweis; öffnen Sie stattdessen die Datei, auf die er zeigt</translation>
    </message>
    <message>
        <source>there is no such file</source>
        <translation>diese Datei gibt es nicht</translation>
    </message>
    <message>
        <source>it is not a regular file</source>
        <translation>sie ist keine gewöhnliche Datei</translation>
    </message>
    <message>
        <source>Survey journal %1: %2</source>
        <translation>Messjournal %1: %2</translation>
    </message>
    <message>
        <source>a file of that name exists already</source>
        <translation>eine Datei dieses Namens gibt es schon</translation>
    </message>
    <message>
        <source>the folder is read-only</source>
        <translation>der Ordner ist schreibgeschützt</translation>
    </message>
</context>
<context>
    <name>SurveySession</name>
    <message>
        <source>Survey %1</source>
        <translation>Messung %1</translation>
    </message>
    <message>
        <source>The folder %1 could not be created.</source>
        <translation>Der Ordner %1 konnte nicht angelegt werden.</translation>
    </message>
    <message>
        <source>No new file name was free in %1.</source>
        <translation>In %1 war kein neuer Dateiname frei.</translation>
    </message>
    <message>
        <source>%1
The survey goes on in a new file: %2</source>
        <translation>%1
Die Messung wird in einer neuen Datei fortgesetzt: %2</translation>
    </message>
    <message>
        <source>%1
No new journal could be started either: %2</source>
        <translation>%1
Auch ein neues Journal konnte nicht begonnen werden: %2</translation>
    </message>
    <message>
        <source>The interrupted survey could not be read back whole: %1</source>
        <translation>Die unterbrochene Messung konnte nicht vollständig eingelesen werden: %1</translation>
    </message>
    <message>
        <source>The survey %1 has no journal to end.</source>
        <translation>Die Messung %1 hat kein Journal, das beendet werden könnte.</translation>
    </message>
</context>
<context>
    <name>TGeoTransform</name>
    <message>
        <source>%1 transformation</source>
        <translation>%1-Transformation</translation>
    </message>
    <message>
        <source>incomplete</source>
        <translation>unvollständig</translation>
    </message>
    <message>
        <source>geocentric</source>
        <translation>geozentrisch</translation>
    </message>
    <message>
        <source>vertical</source>
        <translation>vertikal</translation>
    </message>
    <message>
        <source>temporal</source>
        <translation>zeitlich</translation>
    </message>
    <message>
        <source>engineering</source>
        <translation>technisch</translation>
    </message>
    <message>
        <source>unknown</source>
        <translation>unbekannt</translation>
    </message>
    <message>
        <source>coordinate operation</source>
        <translation>Koordinatenoperation</translation>
    </message>
    <message>
        <source>not a map projection (%1)</source>
        <translation>keine Kartenprojektion (%1)</translation>
    </message>
</context>
<context>
    <name>TMapLegend</name>
    <message>
        <source>Count rate</source>
        <translation>Zählrate</translation>
    </message>
    <message>
        <source>Dose rate</source>
        <translation>Dosisleistung</translation>
    </message>
    <message>
        <source>All readings</source>
        <translation>Alle Messwerte</translation>
    </message>
    <message>
        <source>&lt; %1</source>
        <translation>&lt; %1</translation>
    </message>
    <message>
        <source>≥ %1</source>
        <translation>≥ %1</translation>
    </message>
</context>
<context>
    <name>TMapScene</name>
    <message>
        <source>unknown error</source>
        <translation>unbekannter Fehler</translation>
    </message>
    <message>
        <source>not a regular file</source>
        <translation>keine reguläre Datei</translation>
    </message>
    <message>
        <source>larger than %1 KiB</source>
        <translation>größer als %1 KiB</translation>
    </message>
    <message>
        <source>not six numbers of an invertible transform</source>
        <translation>nicht sechs Zahlen einer invertierbaren Transformation</translation>
    </message>
    <message>
        <source>the JPEG data is damaged or cut short</source>
        <translation>die JPEG-Daten sind beschädigt oder abgeschnitten</translation>
    </message>
    <message>
        <source>the overview index could not be written</source>
        <translation>der Übersichtsindex konnte nicht geschrieben werden</translation>
    </message>
    <message>
        <source>the overview index could not be read back</source>
        <translation>der Übersichtsindex konnte nicht zurückgelesen werden</translation>
    </message>
    <message>
        <source>the overviews could not be built</source>
        <translation>die Übersichten konnten nicht erstellt werden</translation>
    </message>
    <message>
        <source>the overviews could not be stored: %1</source>
        <translation>die Übersichten konnten nicht gespeichert werden: %1</translation>
    </message>
    <message>
        <source>no cache folder for the overviews</source>
        <translation>kein Cache-Ordner für die Übersichten</translation>
    </message>
    <message>
        <source>the cache folder %1 cannot be written</source>
        <translation>der Cache-Ordner %1 ist nicht beschreibbar</translation>
    </message>
    <message>
        <source>not a raster image GDAL can read</source>
        <translation>kein Rasterbild, das GDAL lesen kann</translation>
    </message>
    <message>
        <source>%1 is not a map format: maps open as %2</source>
        <translation>%1 ist kein Kartenformat: Karten sind %2</translation>
    </message>
    <message>
        <source>%1 (maps open as %2)</source>
        <translation>%1 (Karten sind %2)</translation>
    </message>
    <message>
        <source>not found</source>
        <translation>nicht gefunden</translation>
    </message>
    <message>
        <source>the raster can no longer be opened</source>
        <translation>das Raster lässt sich nicht mehr öffnen</translation>
    </message>
    <message>
        <source>the overviews built could not be opened</source>
        <translation>die erstellten Übersichten lassen sich nicht öffnen</translation>
    </message>
    <message>
        <source>the raster has no pixels</source>
        <translation>das Raster hat keine Pixel</translation>
    </message>
    <message>
        <source>%1 x %2 pixels is larger than a map can be</source>
        <translation>%1 x %2 Pixel sind größer, als eine Karte sein kann</translation>
    </message>
    <message>
        <source>outside the raster</source>
        <translation>außerhalb des Rasters</translation>
    </message>
    <message>
        <source>out of memory</source>
        <translation>kein Speicher mehr frei</translation>
    </message>
    <message>
        <source>read error</source>
        <translation>Lesefehler</translation>
    </message>
</context>
<context>
    <name>TMapView</name>
    <message>
        <source>LatLong projection error:</source>
        <translation>Fehler der LatLong-Projektion:</translation>
    </message>
    <message>
        <source>Could not load raster image file!
</source>
        <translation>Die Rasterbilddatei konnte nicht geladen werden!
</translation>
    </message>
    <message>
        <source>%1: no thread to read it could be started (%2)</source>
        <translation>%1: Es konnte kein Thread zum Lesen gestartet werden (%2)</translation>
    </message>
    <message>
        <source>%1: not found</source>
        <translation>%1: nicht gefunden</translation>
    </message>
    <message>
        <source>%1: %2</source>
        <translation>%1: %2</translation>
    </message>
    <message>
        <source>Could not load calibration file!
</source>
        <translation>Die Kalibrierungsdatei konnte nicht geladen werden!
</translation>
    </message>
    <message>
        <source>Could not load projection definition file!
</source>
        <translation>Die Projektionsdatei konnte nicht geladen werden!
</translation>
    </message>
    <message>
        <source>Device %1</source>
        <translation>Gerät %1</translation>
    </message>
    <message>
        <source>No map chosen: choose a map image in Settings.</source>
        <translation>Keine Karte gewählt: Wählen Sie in den Einstellungen ein Kartenbild.</translation>
    </message>
    <message>
        <source>Loading the map...</source>
        <translation>Karte wird geladen...</translation>
    </message>
</context>
<context>
    <name>TRasterLayer</name>
    <message>
        <source>Overviews of the map not built: %1</source>
        <translation>Übersichten der Karte nicht erstellt: %1</translation>
    </message>
    <message>
        <source>Overview of the map not read: %1</source>
        <translation>Übersicht der Karte nicht gelesen: %1</translation>
    </message>
    <message>
        <source>Part of the map not read: %1</source>
        <translation>Teil der Karte nicht gelesen: %1</translation>
    </message>
</context>
<context>
    <name>TimelineWidget</name>
    <message>
        <source>Timeline</source>
        <translation>Zeitverlauf</translation>
    </message>
</context>
<context>
    <name>WatchBar</name>
    <message>
        <source>Dose:</source>
        <translation>Dosis:</translation>
    </message>
    <message>
        <source>The dose of this panel&apos;s readings since the program started; a lost link or readings more than 5 s apart are left out</source>
        <translation>Die Dosis der Messwerte dieses Geräts seit dem Programmstart; eine verlorene Verbindung oder Messwerte mehr als 5 s auseinander werden ausgelassen</translation>
    </message>
    <message>
        <source>Acknowledge</source>
        <translation>Quittieren</translation>
    </message>
    <message>
        <source>Acknowledge the alarm</source>
        <translation>Den Alarm quittieren</translation>
    </message>
    <message>
        <source>Timeline</source>
        <translation>Zeitverlauf</translation>
    </message>
    <message>
        <source>Spectrum</source>
        <translation>Spektrum</translation>
    </message>
    <message>
        <source>Statistics</source>
        <translation>Statistik</translation>
    </message>
    <message>
        <source>dose rate above %1</source>
        <translation>Dosisleistung über %1</translation>
    </message>
    <message>
        <source>count rate above %1</source>
        <translation>Zählrate über %1</translation>
    </message>
    <message>
        <source>ALARM: %1</source>
        <translation>ALARM: %1</translation>
    </message>
    <message>
        <source>Reading to plot</source>
        <translation>Darzustellender Messwert</translation>
    </message>
    <message>
        <source>Dose rate</source>
        <translation>Dosisleistung</translation>
    </message>
    <message>
        <source>Count rate</source>
        <translation>Zählrate</translation>
    </message>
    <message>
        <source>Timeline of device %1</source>
        <translation>Zeitverlauf von Gerät %1</translation>
    </message>
    <message>
        <source>Logarithmic scale</source>
        <translation>Logarithmische Skala</translation>
    </message>
    <message>
        <source>Spectrum of device %1</source>
        <translation>Spektrum von Gerät %1</translation>
    </message>
    <message>
        <source>dose rate</source>
        <translation>Dosisleistung</translation>
    </message>
    <message>
        <source>count rate</source>
        <translation>Zählrate</translation>
    </message>
</context>
<context>
    <name>main</name>
    <message>
        <source>Field software for radiation surveys.</source>
        <translation>Feldsoftware für Strahlungsmessungen.</translation>
    </message>
    <message>
        <source>Survokart</source>
        <translation>Survokart</translation>
    </message>
    <message>
        <source>Survokart could not start its connections to the instruments (%1).

Start Survokart again. If this message comes back, restart the computer.</source>
        <translation>Survokart konnte die Verbindungen zu den Messgeräten nicht starten (%1).

Starten Sie Survokart erneut. Erscheint diese Meldung wieder, starten Sie den Computer neu.</translation>
    </message>
</context>
</TS>
