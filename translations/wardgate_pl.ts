<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="pl_PL" sourcelanguage="en">
<context>
    <name>AuthClient</name>
    <message>
        <source>Cannot connect to server.</source>
        <translation>Nie można połączyć się z serwerem.</translation>
    </message>
    <message>
        <source>Missing credentials</source>
        <translation>Brak nazwy użytkownika lub hasła</translation>
    </message>
    <message numerus="yes">
        <source>Too many login attempts. Wait %Ln seconds.</source>
        <translation>
            <numerusform>Zbyt wiele prób logowania. Poczekaj %Ln sekundę.</numerusform>
            <numerusform>Zbyt wiele prób logowania. Poczekaj %Ln sekundy.</numerusform>
            <numerusform>Zbyt wiele prób logowania. Poczekaj %Ln sekund.</numerusform>
        </translation>
    </message>
    <message>
        <source>the remote configuration</source>
        <translation>zdalna konfiguracja</translation>
    </message>
</context>
<context>
    <name>BaseClientInstaller</name>
    <message>
        <source>Cannot open temp file: %1</source>
        <translation>Nie można otworzyć pliku tymczasowego: %1</translation>
    </message>
    <message>
        <source>Client download failed: %1</source>
        <translation>Pobieranie klienta nie powiodło się: %1</translation>
    </message>
    <message>
        <source>Archive SHA256 mismatch — file corrupted.</source>
        <translation>Suma SHA256 archiwum się nie zgadza — plik jest uszkodzony.</translation>
    </message>
    <message>
        <source>Extraction failed (code: %1)</source>
        <translation>Rozpakowywanie nie powiodło się (kod: %1)</translation>
    </message>
</context>
<context>
    <name>DiskSpace</name>
    <message>
        <source>Not enough disk space in %1: %2 more needed</source>
        <translation>Za mało miejsca na dysku w %1: potrzeba jeszcze %2</translation>
    </message>
</context>
<context>
    <name>DocumentFetch</name>
    <message>
        <source>%1 is larger than %2 MB</source>
        <translation>%1: więcej niż %2 MB</translation>
    </message>
    <message>
        <source>%1 is larger than %2 KB</source>
        <translation>%1: więcej niż %2 KB</translation>
    </message>
    <message>
        <source>%1 did not arrive within %2 s</source>
        <translation>%1: nie pobrano w ciągu %2 s</translation>
    </message>
    <message>
        <source>the server sent nothing for %1 s</source>
        <translation>serwer nic nie wysłał przez %1 s</translation>
    </message>
    <message>
        <source>%1&apos;s compressed form does not unpack to a sensible size</source>
        <translation>%1: postać skompresowana nie rozpakowuje się do rozsądnego rozmiaru</translation>
    </message>
</context>
<context>
    <name>DownloadBatch</name>
    <message>
        <source>Download failed: 1 file could not be downloaded</source>
        <translation>Pobieranie nie powiodło się: nie udało się pobrać 1 pliku</translation>
    </message>
    <message numerus="yes">
        <source>Download failed: %Ln files could not be downloaded</source>
        <translation>
            <numerusform>Pobieranie nie powiodło się: nie udało się pobrać %Ln pliku</numerusform>
            <numerusform>Pobieranie nie powiodło się: nie udało się pobrać %Ln plików</numerusform>
            <numerusform>Pobieranie nie powiodło się: nie udało się pobrać %Ln plików</numerusform>
        </translation>
    </message>
    <message>
        <source>: %1 (%2)</source>
        <translation>: %1 (%2)</translation>
    </message>
    <message numerus="yes">
        <source> and %Ln more</source>
        <translation>
            <numerusform> i %Ln inny</numerusform>
            <numerusform> i %Ln inne</numerusform>
            <numerusform> i %Ln innych</numerusform>
        </translation>
    </message>
    <message>
        <source>Cannot open temp file for writing: %1</source>
        <translation>Nie można otworzyć pliku tymczasowego do zapisu: %1</translation>
    </message>
    <message>
        <source>the folder cannot be created</source>
        <translation>nie można utworzyć folderu</translation>
    </message>
    <message>
        <source>Cannot write to %1: %2.</source>
        <translation>Nie można zapisać w %1: %2.</translation>
    </message>
    <message>
        <source>Skipped (too many errors): %1</source>
        <translation>Pominięto (zbyt wiele błędów): %1</translation>
    </message>
    <message>
        <source>its server failed on another file</source>
        <translation>jego serwer zawiódł przy innym pliku</translation>
    </message>
</context>
<context>
    <name>FileManager</name>
    <message>
        <source>Failed to download manifest: %1</source>
        <translation>Nie udało się pobrać manifestu: %1</translation>
    </message>
    <message>
        <source>Failed to parse manifest: %1</source>
        <translation>Nie udało się odczytać manifestu: %1</translation>
    </message>
    <message>
        <source>Manifest has no valid files: all %1 entries were refused</source>
        <translation>Manifest nie zawiera poprawnych plików: odrzucono wszystkie wpisy (%1)</translation>
    </message>
    <message>
        <source>The game program cannot be checked: no signed manifest has been accepted</source>
        <translation>Nie można sprawdzić programu gry: nie przyjęto żadnego podpisanego manifestu</translation>
    </message>
    <message>
        <source>The game program %1 does not match the signed game files</source>
        <translation>Program gry %1 nie zgadza się z podpisanymi plikami gry</translation>
    </message>
    <message>
        <source>The game program %1 is not one of the signed game files</source>
        <translation>Program gry %1 nie należy do podpisanych plików gry</translation>
    </message>
    <message>
        <source>(none named)</source>
        <translation>(nie podano)</translation>
    </message>
    <message>
        <source>the manifest</source>
        <translation>manifest</translation>
    </message>
    <message>
        <source>the manifest&apos;s signature</source>
        <translation>podpis manifestu</translation>
    </message>
</context>
<context>
    <name>GameLauncher</name>
    <message>
        <source>Game is already running</source>
        <translation>Gra jest już uruchomiona</translation>
    </message>
    <message>
        <source>Game executable not found: %1</source>
        <translation>Nie znaleziono programu gry: %1</translation>
    </message>
    <message>
        <source>File is not executable: %1</source>
        <translation>Plik nie jest programem wykonywalnym: %1</translation>
    </message>
    <message>
        <source>Failed to start game (error %1)</source>
        <translation>Nie udało się uruchomić gry (błąd %1)</translation>
    </message>
    <message>
        <source>Failed to start game</source>
        <translation>Nie udało się uruchomić gry</translation>
    </message>
    <message>
        <source>Game crashed</source>
        <translation>Gra uległa awarii</translation>
    </message>
    <message>
        <source>Game process timed out</source>
        <translation>Przekroczono czas oczekiwania na proces gry</translation>
    </message>
    <message>
        <source>Read error from game process</source>
        <translation>Błąd odczytu z procesu gry</translation>
    </message>
    <message>
        <source>Write error to game process</source>
        <translation>Błąd zapisu do procesu gry</translation>
    </message>
    <message>
        <source>Unknown game process error</source>
        <translation>Nieznany błąd procesu gry</translation>
    </message>
    <message>
        <source>Cannot open the game program: %1</source>
        <translation>Nie można otworzyć programu gry: %1</translation>
    </message>
    <message>
        <source>The game program %1 was changed while it was started; it was stopped</source>
        <translation>Program gry %1 został zmieniony podczas uruchamiania; zatrzymano go</translation>
    </message>
</context>
<context>
    <name>GameProgram</name>
    <message>
        <source>The game program must lie inside the game folder, but game_executable &quot;%1&quot; is an absolute path</source>
        <translation>Program gry musi leżeć w folderze gry, a game_executable „%1” jest ścieżką bezwzględną</translation>
    </message>
    <message>
        <source>The game program must lie inside the game folder, but game_executable &quot;%1&quot; leads out of it</source>
        <translation>Program gry musi leżeć w folderze gry, a game_executable „%1” wychodzi poza niego</translation>
    </message>
    <message>
        <source>The game program must lie inside the game folder, but game_executable &quot;%1&quot; leads out of it (to %2)</source>
        <translation>Program gry musi leżeć w folderze gry, a game_executable „%1” wychodzi poza niego (do %2)</translation>
    </message>
</context>
<context>
    <name>LowSpeedGuard</name>
    <message>
        <source>The server sent only %1 bytes in %2 s (too slow to go on)</source>
        <translation>Serwer wysłał tylko %1 bajtów w %2 s (zbyt wolno, by kontynuować)</translation>
    </message>
</context>
<context>
    <name>MainWindow</name>
    <message>
        <source>Veyrun Launcher</source>
        <translation>Veyrun Launcher</translation>
    </message>
    <message>
        <source>● Connecting...</source>
        <translation>● Łączenie...</translation>
    </message>
    <message>
        <source>─</source>
        <translation>─</translation>
    </message>
    <message>
        <source>✕</source>
        <translation>✕</translation>
    </message>
    <message>
        <source>Log in to Veyrun</source>
        <translation>Zaloguj się do Veyrun</translation>
    </message>
    <message>
        <source>Username</source>
        <translation>Nazwa użytkownika</translation>
    </message>
    <message>
        <source>Password</source>
        <translation>Hasło</translation>
    </message>
    <message>
        <source>LOG IN</source>
        <translation>ZALOGUJ</translation>
    </message>
    <message>
        <source>Retry</source>
        <translation>Ponów</translation>
    </message>
    <message>
        <source>Initializing...</source>
        <translation>Przygotowywanie...</translation>
    </message>
    <message>
        <source>PLAY</source>
        <translation>GRAJ</translation>
    </message>
    <message>
        <source>Settings</source>
        <translation>Ustawienia</translation>
    </message>
    <message>
        <source>Log Out</source>
        <translation>Wyloguj</translation>
    </message>
    <message>
        <source>Discord</source>
        <translation>Discord</translation>
    </message>
    <message>
        <source>Restore</source>
        <translation>Przywróć</translation>
    </message>
    <message>
        <source>Quit</source>
        <translation>Zakończ</translation>
    </message>
    <message>
        <source>Logged in as: %1</source>
        <translation>Zalogowano jako: %1</translation>
    </message>
    <message>
        <source>Downloading game client...</source>
        <translation>Pobieranie klienta gry...</translation>
    </message>
    <message>
        <source>Extracting client...</source>
        <translation>Rozpakowywanie klienta...</translation>
    </message>
    <message>
        <source>Verifying files...</source>
        <translation>Sprawdzanie plików...</translation>
    </message>
    <message>
        <source>Downloading updates...</source>
        <translation>Pobieranie aktualizacji...</translation>
    </message>
    <message>
        <source>Ready!</source>
        <translation>Gotowe!</translation>
    </message>
    <message>
        <source>Game running...</source>
        <translation>Gra uruchomiona...</translation>
    </message>
    <message>
        <source>Stop Game</source>
        <translation>Zatrzymaj grę</translation>
    </message>
    <message>
        <source>Connecting...</source>
        <translation>Łączenie...</translation>
    </message>
    <message>
        <source>Enter login.</source>
        <translation>Podaj login.</translation>
    </message>
    <message>
        <source>Enter password.</source>
        <translation>Podaj hasło.</translation>
    </message>
    <message>
        <source>Login failed. Check your credentials.</source>
        <translation>Logowanie nie powiodło się. Sprawdź dane logowania.</translation>
    </message>
    <message>
        <source>Login successful!</source>
        <translation>Zalogowano pomyślnie!</translation>
    </message>
    <message>
        <source>● Online</source>
        <translation>● Dostępny</translation>
    </message>
    <message>
        <source>● Offline</source>
        <translation>● Niedostępny</translation>
    </message>
    <message>
        <source>Error</source>
        <translation>Błąd</translation>
    </message>
    <message>
        <source>Update Required</source>
        <translation>Wymagana aktualizacja</translation>
    </message>
    <message>
        <source>Update cancelled</source>
        <translation>Aktualizacja anulowana</translation>
    </message>
    <message>
        <source>Install Game</source>
        <translation>Instalacja gry</translation>
    </message>
    <message>
        <source>Downloaded: %1 MB / %2 MB</source>
        <translation>Pobrano: %1 MB / %2 MB</translation>
    </message>
    <message>
        <source>Downloaded: %1</source>
        <translation>Pobrano: %1</translation>
    </message>
    <message>
        <source>Error: %1</source>
        <translation>Błąd: %1</translation>
    </message>
    <message>
        <source>Veyrun</source>
        <translation>Veyrun</translation>
    </message>
    <message>
        <source>Wykryto uruchomionego klienta Lineage 2 z innego serwera.

Regulamin serwera zabrania uruchamiania więcej niż jednego
klienta L2 jednocześnie. Zamknij go przed grą.</source>
        <translation>Wykryto uruchomionego klienta Lineage 2 z innego serwera.

Regulamin serwera zabrania uruchamiania więcej niż jednego
klienta L2 jednocześnie. Zamknij go przed grą.</translation>
    </message>
    <message>
        <source>Are you sure you want to stop the game?</source>
        <translation>Czy na pewno chcesz zatrzymać grę?</translation>
    </message>
    <message>
        <source>Launch Error</source>
        <translation>Błąd uruchamiania</translation>
    </message>
    <message>
        <source>Failed to start game:
%1</source>
        <translation>Nie udało się uruchomić gry:
%1</translation>
    </message>
    <message>
        <source>Session ended: a game client of another server was running.</source>
        <translation>Sesja zakończona: działał klient gry innego serwera.</translation>
    </message>
    <message>
        <source>Veyrun — Naruszenie regulaminu</source>
        <translation>Veyrun — Naruszenie regulaminu</translation>
    </message>
    <message>
        <source>Wykryto uruchomionego klienta Lineage 2 z innego serwera.

Regulamin serwera zabrania uruchamiania więcej niż jednego
klienta L2 jednocześnie.

Połączenie zostało przerwane.</source>
        <translation>Wykryto uruchomionego klienta Lineage 2 z innego serwera.

Regulamin serwera zabrania uruchamiania więcej niż jednego
klienta L2 jednocześnie.

Połączenie zostało przerwane.</translation>
    </message>
    <message>
        <source>Session ended: a modified game file was detected.</source>
        <translation>Sesja zakończona: wykryto zmodyfikowany plik gry.</translation>
    </message>
    <message>
        <source>Security Alert</source>
        <translation>Alert bezpieczeństwa</translation>
    </message>
    <message>
        <source>A modified game file was detected:

%1

The game has been terminated.</source>
        <translation>Wykryto zmodyfikowany plik gry:

%1

Gra została zamknięta.</translation>
    </message>
    <message>
        <source>Downloading client: %1 MB / %2 MB</source>
        <translation>Pobieranie klienta: %1 MB / %2 MB</translation>
    </message>
    <message>
        <source>Extracting archive — this may take a few minutes...</source>
        <translation>Rozpakowywanie archiwum — może to potrwać kilka minut...</translation>
    </message>
    <message>
        <source>Client installation error</source>
        <translation>Błąd instalacji klienta</translation>
    </message>
    <message>
        <source>Failed to install game client:

%1

Check your internet connection and try again.</source>
        <translation>Nie udało się zainstalować klienta gry:

%1

Sprawdź połączenie z internetem i spróbuj ponownie.</translation>
    </message>
    <message>
        <source>Installation error</source>
        <translation>Błąd instalacji</translation>
    </message>
    <message>
        <source>Launcher minimized to tray</source>
        <translation>Launcher zminimalizowany do zasobnika</translation>
    </message>
    <message>
        <source>Launcher minimized to tray. Double-click tray icon to restore.</source>
        <translation>Launcher zminimalizowany do zasobnika. Kliknij dwukrotnie ikonę w zasobniku, aby go przywrócić.</translation>
    </message>
    <message>
        <source>The game is still running.
Are you sure you want to close the launcher?</source>
        <translation>Gra nadal działa.
Czy na pewno chcesz zamknąć launcher?</translation>
    </message>
    <message>
        <source>Are you sure you want to close the launcher?</source>
        <translation>Czy na pewno chcesz zamknąć launcher?</translation>
    </message>
    <message>
        <source>Close Veyrun</source>
        <translation>Zamknij Veyrun</translation>
    </message>
    <message>
        <source>Closing session...</source>
        <translation>Zamykanie sesji...</translation>
    </message>
    <message>
        <source>Log in to scan the game files.</source>
        <translation>Zaloguj się, aby sprawdzić pliki gry.</translation>
    </message>
    <message>
        <source>Close the game to scan its files.</source>
        <translation>Zamknij grę, aby sprawdzić jej pliki.</translation>
    </message>
    <message>
        <source>Available when the download has finished.</source>
        <translation>Dostępne po zakończeniu pobierania.</translation>
    </message>
    <message>
        <source>Available once the list of game files has been loaded.</source>
        <translation>Dostępne po wczytaniu listy plików gry.</translation>
    </message>
    <message>
        <source>Close the game to change its folder.</source>
        <translation>Zamknij grę, aby zmienić jej folder.</translation>
    </message>
    <message>
        <source>Minimize to tray</source>
        <translation>Zminimalizuj do zasobnika</translation>
    </message>
    <message>
        <source>Starts the game once its files are ready.</source>
        <translation>Uruchamia grę, gdy jej pliki są gotowe.</translation>
    </message>
    <message>
        <source>● Offline: %1</source>
        <translation>● Niedostępny: %1</translation>
    </message>
    <message>
        <source>The game is not installed in %1.</source>
        <translation>Gra nie jest zainstalowana w %1.</translation>
    </message>
    <message>
        <source>

That folder already holds other files; the game&apos;s files would be written beside them.</source>
        <translation>

Ten folder zawiera już inne pliki; pliki gry zostałyby zapisane obok nich.</translation>
    </message>
    <message>
        <source>

Download the full client (%1)?</source>
        <translation>

Pobrać pełnego klienta (%1)?</translation>
    </message>
    <message>
        <source>

Download the full client?</source>
        <translation>

Pobrać pełnego klienta?</translation>
    </message>
    <message>
        <source>Choose the game folder</source>
        <translation>Wybierz folder gry</translation>
    </message>
    <message>
        <source>The choice could not be saved.</source>
        <translation>Nie udało się zapisać wyboru.</translation>
    </message>
    <message>
        <source>Checking game files: %1</source>
        <translation>Sprawdzanie plików gry: %1</translation>
    </message>
    <message>
        <source>and %1 more</source>
        <translation>i %1 więcej</translation>
    </message>
    <message>
        <source>Download size: %1</source>
        <translation>Do pobrania: %1</translation>
    </message>
    <message>
        <source>Available when the check of the game files has finished.</source>
        <translation>Dostępne po zakończeniu sprawdzania plików gry.</translation>
    </message>
    <message>
        <source>Pause</source>
        <translation>Pauza</translation>
    </message>
    <message>
        <source>Resume</source>
        <translation>Wznów</translation>
    </message>
    <message>
        <source>Download paused</source>
        <translation>Pobieranie wstrzymane</translation>
    </message>
    <message>
        <source>&amp;Remember me</source>
        <translation>&amp;Zapamiętaj mnie</translation>
    </message>
    <message>
        <source>Update</source>
        <translation>Aktualizuj</translation>
    </message>
    <message>
        <source>Only the account name is remembered: no password store answers on this computer.</source>
        <translation>Zapamiętano tylko nazwę konta: na tym komputerze nie odpowiada żaden magazyn haseł.</translation>
    </message>
    <message>
        <source>Files need repairing:
Missing: %L1
Damaged: %L2

Start download?</source>
        <translation>Pliki wymagają naprawy:
Brakujące: %L1
Uszkodzone: %L2

Rozpocząć pobieranie?</translation>
    </message>
    <message>
        <source>Files need updating:
Missing: %L1
Out of date: %L2

Start download?</source>
        <translation>Pliki wymagają aktualizacji:
Brakujące: %L1
Nieaktualne: %L2

Rozpocząć pobieranie?</translation>
    </message>
    <message>
        <source>&amp;Choose Another Folder...</source>
        <translation>&amp;Wybierz inny folder...</translation>
    </message>
    <message>
        <source>Retrying %1 in %L2 s (attempt %L3 of %L4): %5</source>
        <translation>Ponowna próba %1 za %L2 s (próba %L3 z %L4): %5</translation>
    </message>
    <message>
        <source>The game files are still downloading.
Are you sure you want to close the launcher?</source>
        <translation>Pliki gry są nadal pobierane.
Czy na pewno chcesz zamknąć launcher?</translation>
    </message>
</context>
<context>
    <name>QMessageBox</name>
    <message>
        <source>Hide Details...</source>
        <translation>Ukryj szczegóły...</translation>
    </message>
</context>
<context>
    <name>QuantityText</name>
    <message>
        <source>%1 B</source>
        <translation>%1 B</translation>
    </message>
    <message>
        <source>%1 KB</source>
        <translation>%1 KB</translation>
    </message>
    <message>
        <source>%1 MB</source>
        <translation>%1 MB</translation>
    </message>
    <message>
        <source>%1 GB</source>
        <translation>%1 GB</translation>
    </message>
    <message>
        <source>%1 / %2 GB</source>
        <translation>%1 / %2 GB</translation>
    </message>
    <message>
        <source>%1 / %2 MB</source>
        <translation>%1 / %2 MB</translation>
    </message>
    <message>
        <source>%1 KB/s</source>
        <translation>%1 KB/s</translation>
    </message>
    <message>
        <source>%1 MB/s</source>
        <translation>%1 MB/s</translation>
    </message>
    <message>
        <source>about %1 s left</source>
        <translation>zostało około %1 s</translation>
    </message>
    <message>
        <source>about %1 min left</source>
        <translation>zostało około %1 min</translation>
    </message>
    <message>
        <source>about %1 h left</source>
        <translation>zostało około %1 h</translation>
    </message>
    <message>
        <source>about %1 h %2 min left</source>
        <translation>zostało około %1 h %2 min</translation>
    </message>
</context>
<context>
    <name>SettingsDialog</name>
    <message>
        <source>Settings</source>
        <translation>Ustawienia</translation>
    </message>
    <message>
        <source>&amp;Browse...</source>
        <translation>&amp;Przeglądaj...</translation>
    </message>
    <message>
        <source>&amp;Scan and repair game files</source>
        <translation>&amp;Sprawdź i napraw pliki gry</translation>
    </message>
    <message>
        <source>&amp;Cancel scan</source>
        <translation>&amp;Anuluj sprawdzanie</translation>
    </message>
    <message>
        <source>Checks the content of every game file and downloads the ones that are missing or damaged.</source>
        <translation>Sprawdza zawartość każdego pliku gry i pobiera pliki brakujące lub uszkodzone.</translation>
    </message>
    <message>
        <source>Wardgate version %1</source>
        <translation>Wardgate w wersji %1</translation>
    </message>
    <message>
        <source>Close</source>
        <translation>Zamknij</translation>
    </message>
    <message>
        <source>Game folder</source>
        <translation>Folder gry</translation>
    </message>
    <message>
        <source>Downloads</source>
        <translation>Pobieranie</translation>
    </message>
    <message>
        <source>&amp;Parallel downloads:</source>
        <translation>&amp;Równoległe pobierania:</translation>
    </message>
    <message>
        <source>Game files</source>
        <translation>Pliki gry</translation>
    </message>
    <message>
        <source>%1 is not a folder.</source>
        <translation>%1 nie jest folderem.</translation>
    </message>
    <message>
        <source>The choice could not be saved.</source>
        <translation>Nie udało się zapisać wyboru.</translation>
    </message>
    <message>
        <source>Choose the game folder</source>
        <translation>Wybierz folder gry</translation>
    </message>
    <message>
        <source>Starting...</source>
        <translation>Rozpoczynanie...</translation>
    </message>
    <message>
        <source>Scan cancelled. No file was changed.</source>
        <translation>Sprawdzanie anulowane. Żaden plik nie został zmieniony.</translation>
    </message>
    <message>
        <source>The log folder could not be opened: %1</source>
        <translation>Nie udało się otworzyć folderu logów: %1</translation>
    </message>
    <message>
        <source>System</source>
        <translation>Systemowy</translation>
    </message>
    <message>
        <source>The language changes at the next start.</source>
        <translation>Język zmieni się przy następnym uruchomieniu.</translation>
    </message>
    <message>
        <source>Interface</source>
        <translation>Interfejs</translation>
    </message>
    <message>
        <source>L&amp;anguage:</source>
        <translation>&amp;Język:</translation>
    </message>
    <message>
        <source>No limit</source>
        <translation>Bez limitu</translation>
    </message>
    <message>
        <source>Download speed &amp;limit:</source>
        <translation>&amp;Limit prędkości pobierania:</translation>
    </message>
    <message>
        <source>Set by the server: %L1 at a time.</source>
        <translation>Ustalone przez serwer: %L1 naraz.</translation>
    </message>
    <message>
        <source> MB/s</source>
        <translation> MB/s</translation>
    </message>
    <message>
        <source>&amp;Open log folder</source>
        <translation>&amp;Otwórz folder logów</translation>
    </message>
    <message numerus="yes">
        <source>Scanning %Ln files...</source>
        <translation>
            <numerusform>Sprawdzanie %Ln pliku...</numerusform>
            <numerusform>Sprawdzanie %Ln plików...</numerusform>
            <numerusform>Sprawdzanie %Ln plików...</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>All %Ln files are in order.</source>
        <translation>
            <numerusform>%Ln plik jest w porządku.</numerusform>
            <numerusform>Wszystkie %Ln pliki są w porządku.</numerusform>
            <numerusform>Wszystkie %Ln plików jest w porządku.</numerusform>
        </translation>
    </message>
</context>
<context>
    <name>SignedManifest</name>
    <message>
        <source>The game files could not be verified: %1.</source>
        <translation>Nie udało się potwierdzić plików gry: %1.</translation>
    </message>
    <message>
        <source>the manifest&apos;s signature is missing</source>
        <translation>brak podpisu manifestu</translation>
    </message>
    <message>
        <source>no usable signing key is configured</source>
        <translation>nie skonfigurowano żadnego używalnego klucza podpisu</translation>
    </message>
    <message>
        <source>the manifest&apos;s signature is invalid</source>
        <translation>podpis manifestu jest nieprawidłowy</translation>
    </message>
    <message>
        <source>the manifest has no publication time</source>
        <translation>manifest nie ma czasu publikacji</translation>
    </message>
    <message>
        <source>The server offered game files older than those already installed.</source>
        <translation>Serwer zaoferował pliki gry starsze od już zainstalowanych.</translation>
    </message>
    <message>
        <source>the manifest has expired</source>
        <translation>manifest wygasł</translation>
    </message>
    <message>
        <source>the manifest was published more than a day after the time this computer&apos;s clock shows; check its date and time</source>
        <translation>manifest opublikowano ponad dobę później, niż wskazuje zegar tego komputera; sprawdź jego datę i godzinę</translation>
    </message>
</context>
<context>
    <name>TlsFailure</name>
    <message>
        <source>The server&apos;s certificate has expired.</source>
        <translation>Certyfikat serwera wygasł.</translation>
    </message>
    <message>
        <source>The server&apos;s certificate is not trusted.</source>
        <translation>Certyfikat serwera nie jest zaufany.</translation>
    </message>
    <message>
        <source>The server&apos;s certificate is for another name.</source>
        <translation>Certyfikat serwera jest wystawiony na inną nazwę.</translation>
    </message>
</context>
<context>
    <name>UpdateSplash</name>
    <message>
        <source>Checking for updates...</source>
        <translation>Sprawdzanie aktualizacji...</translation>
    </message>
    <message>
        <source>Launcher is up to date!</source>
        <translation>Launcher jest aktualny!</translation>
    </message>
    <message>
        <source>Update check failed — starting launcher...</source>
        <translation>Nie udało się sprawdzić aktualizacji — uruchamianie launchera...</translation>
    </message>
    <message>
        <source>Downloading update v%1...</source>
        <translation>Pobieranie aktualizacji v%1...</translation>
    </message>
    <message>
        <source>Update downloaded! Restarting...</source>
        <translation>Aktualizacja pobrana! Ponowne uruchamianie...</translation>
    </message>
</context>
<context>
    <name>VerifiedTransfer</name>
    <message>
        <source>cannot write %1</source>
        <translation>nie można zapisać %1</translation>
    </message>
    <message>
        <source>The server sent the file packed (Content-Encoding: %1) though asked for its own bytes</source>
        <translation>Serwer wysłał plik spakowany (Content-Encoding: %1), choć poproszono o jego własne bajty</translation>
    </message>
    <message>
        <source>The server answered %1 instead of the file</source>
        <translation>Serwer odpowiedział %1 zamiast pliku</translation>
    </message>
    <message>
        <source>The server answered a request for bytes %1 with %2</source>
        <translation>Serwer odpowiedział na żądanie bajtów %1: %2</translation>
    </message>
    <message>
        <source>The server sent more than the range asked for</source>
        <translation>Serwer wysłał więcej niż żądany zakres</translation>
    </message>
    <message>
        <source>Connection closed after %1 of %2 bytes</source>
        <translation>Połączenie zamknięte po %1 z %2 bajtów</translation>
    </message>
    <message>
        <source>The server sent another range or file twice</source>
        <translation>Serwer dwukrotnie wysłał inny zakres lub plik</translation>
    </message>
    <message>
        <source>The server sent nothing for %1 s</source>
        <translation>Serwer nic nie wysłał przez %1 s</translation>
    </message>
    <message>
        <source>cancelled</source>
        <translation>przerwano</translation>
    </message>
    <message>
        <source>%1 was changed by another program while it downloaded</source>
        <translation>%1 został zmieniony przez inny program w trakcie pobierania</translation>
    </message>
    <message>
        <source>SHA256 mismatch</source>
        <translation>Niezgodna suma SHA256</translation>
    </message>
    <message>
        <source>rename failed</source>
        <translation>nie udało się zmienić nazwy</translation>
    </message>
</context>
</TS>
