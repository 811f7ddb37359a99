<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="pl_PL" sourcelanguage="en_US">
<context>
    <name>OrviDownloadDialog</name>
    <message>
        <source>Update</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>Updater_Changelog_MainWindow</name>
    <message>
        <source>Update</source>
        <translation>Aktualizuj</translation>
    </message>
    <message>
        <source>Orvi IM update</source>
        <translation>Aktualizacja komunikatora Orvi</translation>
    </message>
    <message>
        <source>Orvi instant messenger update is available. Do you wish to download it now?</source>
        <translation>Są dostępne aktualizacje dla komunikatora Orvi. Czy chcesz pobrać je teraz?</translation>
    </message>
    <message>
        <source>Show changelog</source>
        <translation>Pokaż listę zmian</translation>
    </message>
    <message>
        <source>Download now</source>
        <translation>Pobierz teraz</translation>
    </message>
    <message>
        <source>Download later</source>
        <translation>Pobierz później</translation>
    </message>
</context>
<context>
    <name>Updater_Download_MainWindow</name>
    <message>
        <source>Update</source>
        <translation>Aktualizuj</translation>
    </message>
    <message>
        <source>Orvi IM update</source>
        <translation>Aktualizacja komunikatora Orvi</translation>
    </message>
    <message>
        <source>Downloading...</source>
        <translation>Pobieranie...</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Anuluj</translation>
    </message>
</context>
<context>
    <name>Updater_Install_MainWindow</name>
    <message>
        <source>Update</source>
        <translation>Aktualizuj</translation>
    </message>
    <message>
        <source>Orvi IM update</source>
        <translation>Aktualizacja komunikatora Orvi</translation>
    </message>
    <message>
        <source>Installing...</source>
        <translation>Instalacja...</translation>
    </message>
</context>
<context>
    <name>Updater_Summary_MainWindow</name>
    <message>
        <source>Update</source>
        <translation>Aktualizuj</translation>
    </message>
    <message>
        <source>Installation complete</source>
        <translation>Aktualizacje zainstalowane pomyślnie</translation>
    </message>
    <message>
        <source>To complete the update process please restart Orvi instant messenger.</source>
        <translation>By zakończyć proces instalacji należy uruchomić ponownie komunikator.</translation>
    </message>
    <message>
        <source>View details</source>
        <translation>Pokaż szczegóły</translation>
    </message>
    <message>
        <source>Close</source>
        <translation>Zamknij</translation>
    </message>
</context>
<context>
    <name>translation</name>
    <message>
        <source>Update</source>
        <comment>nc</comment>
        <translation>Aktualizuj</translation>
    </message>
    <message>
        <source>Update</source>
        <comment>program update</comment>
        <translation>Aktualizuj</translation>
    </message>
    <message>
        <source>No updates available.</source>
        <comment>nc</comment>
        <translation>Brak nowych aktualizacji.</translation>
    </message>
    <message>
        <source>Copy error: %1 (%2)</source>
        <comment>program update</comment>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Cannot run update!</source>
        <comment>nc</comment>
        <translation>Nie można przeprowadzić aktualizacji!</translation>
    </message>
    <message>
        <source>Check updates</source>
        <comment>nc</comment>
        <translation>Sprawdź aktualizacje</translation>
    </message>
    <message>
        <source>Couldn&apos;t connect to update server. Check your internet connection.</source>
        <comment>nc</comment>
        <translation>Nie można nawiązać połączenie z serwerem aktualizacji. Sprawdź swoje połączenie internetowe.</translation>
    </message>
    <message>
        <source>An error occured while comunicating update server. Check your internet connection.</source>
        <comment>nc</comment>
        <translation>Wystąpił błąd podczas komunikacji z serwerem aktualizacji. Sprawdź swoje połączenie internetowe.</translation>
    </message>
    <message>
        <source>Installing package %1:</source>
        <comment>status information about currently installed package</comment>
        <translation>Zainstalowano pakiet %1:</translation>
    </message>
    <message>
        <source>Failed installing package </source>
        <comment>nc</comment>
        <translation>Błąd podczas instalowania paczki </translation>
    </message>
    <message>
        <source>Rollback update</source>
        <comment>restoring application to state before installing update</comment>
        <translation>Cofanie akutalizacji</translation>
    </message>
    <message>
        <source>An error occured while rolling back update progress. Software may not work properly. Try reinstalling whole application</source>
        <comment>nc</comment>
        <translation>Wystąpił błąd podczas cofania aktualizacji. Program może nie działać poprawnie. Zalecamy ręczne zainstalowanie najnowszej wersji komunikatora Orvi ze strony www.orvi.example</translation>
    </message>
    <message>
        <source>Unable to open update archive</source>
        <comment>nc</comment>
        <translation>Nie udało się zaktualizować archiwum</translation>
    </message>
    <message>
        <source>Wrong project!</source>
        <comment>nc</comment>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Wrong name!</source>
        <comment>nc</comment>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Wrong type!</source>
        <comment>nc</comment>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Cannot create file %1 (%2)</source>
        <comment>nc</comment>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Cannot extract update file (%1)!</source>
        <comment>nc</comment>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Cannot copy file %1 to %2!</source>
        <comment>nc</comment>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Cannot read file from archive!</source>
        <comment>nc</comment>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Cannot find the destination folder of this package!</source>
        <comment>nc</comment>
        <translation>Nie można ustalić folderu docelowego tego pakietu!</translation>
    </message>
    <message>
        <source>Invalid package name %1!</source>
        <comment>nc</comment>
        <translation>Nieprawidłowa nazwa pakietu %1!</translation>
    </message>
    <message>
        <source>Package description file is missing!</source>
        <comment>nc</comment>
        <translation>Brak pliku opisu pakietu!</translation>
    </message>
    <message>
        <source>Package description file is damaged (line %1)!</source>
        <comment>nc</comment>
        <translation>Plik opisu pakietu jest uszkodzony (wiersz %1)!</translation>
    </message>
    <message>
        <source>Cannot back up file %1 to %2!</source>
        <comment>nc</comment>
        <translation>Nie można utworzyć kopii zapasowej pliku %1 w %2!</translation>
    </message>
    <message>
        <source>Cannot create the folder %1 (%2).</source>
        <comment>nc</comment>
        <translation>Nie można utworzyć folderu %1 (%2).</translation>
    </message>
    <message>
        <source>The update cannot run: the folder %1 is a link, belongs to another user or can be changed by other users. Remove it and start the update again.</source>
        <comment>nc</comment>
        <translation>Aktualizacja nie może zostać uruchomiona: folder %1 jest dowiązaniem, należy do innego użytkownika albo mogą go zmieniać inni użytkownicy. Usuń go i uruchom aktualizację ponownie.</translation>
    </message>
    <message>
        <source>Cannot write the installation journal (%1)!</source>
        <comment>nc</comment>
        <translation>Nie można zapisać dziennika instalacji (%1)!</translation>
    </message>
    <message>
        <source>Not enough free disk space for this package: it needs %1 MB, %2 MB are free in %3.</source>
        <comment>nc</comment>
        <translation>Za mało wolnego miejsca na dysku dla tego pakietu: potrzeba %1 MB, a w %3 wolnych jest %2 MB.</translation>
    </message>
    <message>
        <source>The package description names a folder or no file at all (%1)!</source>
        <comment>nc</comment>
        <translation>Opis pakietu wskazuje folder albo nie wskazuje żadnego pliku (%1)!</translation>
    </message>
    <message>
        <source>The folder of %1 lies outside the destination folder!</source>
        <comment>nc</comment>
        <translation>Folder pliku %1 leży poza folderem docelowym!</translation>
    </message>
    <message>
        <source>What could not be restored is kept in %1; the next update tries again:</source>
        <comment>nc</comment>
        <translation>To, czego nie udało się przywrócić, zostało zachowane w %1; następna aktualizacja spróbuje ponownie:</translation>
    </message>
    <message>
        <source>The previous update was interrupted. The application was restored to its state before that update.</source>
        <comment>nc</comment>
        <translation>Poprzednia aktualizacja została przerwana. Program został przywrócony do stanu sprzed tej aktualizacji.</translation>
    </message>
    <message>
        <source>The previous update was interrupted and could not be undone completely. Software may not work properly. What could not be restored is kept in %1; the next update tries again:</source>
        <comment>nc</comment>
        <translation>Poprzednia aktualizacja została przerwana i nie udało się jej całkowicie cofnąć. Program może nie działać poprawnie. To, czego nie udało się przywrócić, zostało zachowane w %1; następna aktualizacja spróbuje ponownie:</translation>
    </message>
    <message>
        <source>Show changelog</source>
        <comment>nc</comment>
        <translation>Pokaż listę zmian</translation>
    </message>
    <message>
        <source>Hide changelog</source>
        <comment>nc</comment>
        <translation>Ukryj listę zmian</translation>
    </message>
    <message>
        <source>Installation failed</source>
        <comment>nc</comment>
        <translation>Aktualizacja nie powiodła się</translation>
    </message>
    <message>
        <source>Please reinstall application with package from official web page</source>
        <comment>nc</comment>
        <translation>Pobierz i zainstaluj ponownie komunikator Orvi ze strony www.orvi.example</translation>
    </message>
    <message>
        <source>The package address %1 is not an http or https address with a host.</source>
        <comment>nc</comment>
        <translation>Adres pakietu %1 nie jest adresem http ani https z nazwą serwera.</translation>
    </message>
    <message>
        <source>The package address %1 does not name a file inside the download folder.</source>
        <comment>nc</comment>
        <translation>Adres pakietu %1 nie wskazuje pliku w folderze pobierania.</translation>
    </message>
    <message>
        <source>The proxy server %1 did not connect the updater to the update server: %2. Check the proxy settings (https_proxy).</source>
        <comment>nc</comment>
        <translation>Serwer pośredniczący %1 nie połączył aktualizatora z serwerem aktualizacji: %2. Sprawdź ustawienia serwera pośredniczącego (https_proxy).</translation>
    </message>
    <message>
        <source>The proxy server %1 refused the download of %2: %3</source>
        <comment>nc</comment>
        <translation>Serwer pośredniczący %1 odmówił pobrania %2: %3</translation>
    </message>
    <message>
        <source>The server sent a part of %1 other than the one asked for.</source>
        <comment>nc</comment>
        <translation>Serwer przysłał inną część %1 niż ta, o którą poproszono.</translation>
    </message>
    <message>
        <source>The server %1 stopped answering, so the download was given up.</source>
        <comment>nc</comment>
        <translation>Serwer %1 przestał odpowiadać, więc pobieranie zostało przerwane.</translation>
    </message>
    <message>
        <source>The download was cancelled.</source>
        <comment>nc</comment>
        <translation>Pobieranie zostało anulowane.</translation>
    </message>
    <message>
        <source>The server answered %1 %2 for %3.</source>
        <comment>nc</comment>
        <translation>Serwer odpowiedział %1 %2 dla %3.</translation>
    </message>
    <message>
        <source>The downloaded file could not be written: %1</source>
        <comment>nc</comment>
        <translation>Nie można zapisać pobranego pliku: %1</translation>
    </message>
    <message>
        <source>The server sent the download of %1 from a secure address to an insecure one, which is refused.</source>
        <comment>nc</comment>
        <translation>Serwer przekierował pobieranie %1 z bezpiecznego adresu na niezabezpieczony, co jest niedozwolone.</translation>
    </message>
    <message>
        <source>The server redirected the download of %1 too many times.</source>
        <comment>nc</comment>
        <translation>Serwer zbyt wiele razy przekierował pobieranie %1.</translation>
    </message>
    <message>
        <source>The server sent no valid answer for %1.</source>
        <comment>nc</comment>
        <translation>Serwer nie wysłał poprawnej odpowiedzi dla %1.</translation>
    </message>
    <message>
        <source>The connection was closed before all of %1 arrived.</source>
        <comment>nc</comment>
        <translation>Połączenie zostało zamknięte, zanim pobrano cały plik %1.</translation>
    </message>
    <message>
        <source>The package %1 was refused and nothing was installed. %2</source>
        <comment>nc</comment>
        <translation>Pakiet %1 został odrzucony i niczego nie zainstalowano. %2</translation>
    </message>
    <message>
        <source>Its version %1 is older than version %2, which is already installed.</source>
        <comment>nc</comment>
        <translation>Jego wersja %1 jest starsza od zainstalowanej już wersji %2.</translation>
    </message>
    <message>
        <source>The installed versions could not be recorded (%1); the next update records them.</source>
        <comment>nc</comment>
        <translation>Nie udało się zapisać zainstalowanych wersji (%1); zapisze je następna aktualizacja.</translation>
    </message>
    <message>
        <source>The package is not signed.</source>
        <comment>nc</comment>
        <translation>Pakiet nie jest podpisany.</translation>
    </message>
    <message>
        <source>The package has a signature in the legacy format, which is not accepted.</source>
        <comment>nc</comment>
        <translation>Pakiet ma podpis w przestarzałym formacie, który nie jest akceptowany.</translation>
    </message>
    <message>
        <source>The package&apos;s signature cannot be read.</source>
        <comment>nc</comment>
        <translation>Nie można odczytać podpisu pakietu.</translation>
    </message>
    <message>
        <source>The package is signed by an unknown key (%1).</source>
        <comment>nc</comment>
        <translation>Pakiet jest podpisany nieznanym kluczem (%1).</translation>
    </message>
    <message>
        <source>The package&apos;s signature has been tampered with.</source>
        <comment>nc</comment>
        <translation>Podpis pakietu został zmieniony.</translation>
    </message>
    <message>
        <source>The package&apos;s signature is not for an Orvi package.</source>
        <comment>nc</comment>
        <translation>Podpis nie dotyczy pakietu Orvi.</translation>
    </message>
    <message>
        <source>The package&apos;s signature is for another component (%1).</source>
        <comment>nc</comment>
        <translation>Podpis pakietu dotyczy innego składnika (%1).</translation>
    </message>
    <message>
        <source>The package&apos;s signature is for version %1, not %2.</source>
        <comment>nc</comment>
        <translation>Podpis pakietu dotyczy wersji %1, a nie %2.</translation>
    </message>
    <message>
        <source>The package&apos;s signature is for another file (%1).</source>
        <comment>nc</comment>
        <translation>Podpis pakietu dotyczy innego pliku (%1).</translation>
    </message>
    <message>
        <source>The package has been altered since it was signed.</source>
        <comment>nc</comment>
        <translation>Pakiet został zmieniony po podpisaniu.</translation>
    </message>
    <message>
        <source>Hide details</source>
        <comment>nc</comment>
        <translation>Ukryj szczegóły</translation>
    </message>
    <message>
        <source>View details</source>
        <comment>nc</comment>
        <translation>Pokaż szczegóły</translation>
    </message>
    <message>
        <source>Another update of Orvi instant messenger is running.</source>
        <comment>nc</comment>
        <translation>Trwa inna aktualizacja komunikatora Orvi.</translation>
    </message>
    <message>
        <source>It was started by the user %1 (process %2).</source>
        <comment>nc</comment>
        <translation>Uruchomił ją użytkownik %1 (proces %2).</translation>
    </message>
    <message>
        <source>The update journal %1 belongs to another installation than %2, so it was neither undone nor removed. If no update is running, deleting it is safe.</source>
        <comment>nc</comment>
        <translation>Dziennik aktualizacji %1 należy do innej instalacji niż %2, więc nie został ani cofnięty, ani usunięty. Jeśli żadna aktualizacja nie trwa, można go bezpiecznie usunąć.</translation>
    </message>
    <message>
        <source>Cannot lock the update: %1</source>
        <comment>nc</comment>
        <translation>Nie można zablokować aktualizacji: %1</translation>
    </message>
    <message>
        <source>An earlier update left files that no readable record accounts for, among them the previous versions of the files it replaced. They were moved to %1.</source>
        <comment>nc</comment>
        <translation>Wcześniejsza aktualizacja pozostawiła pliki, których nie opisuje żaden czytelny zapis, w tym poprzednie wersje zastąpionych plików. Przeniesiono je do %1.</translation>
    </message>
    <message>
        <source>An update of the installation in %1 was interrupted. Start the updater of that installation first, so that it can restore it.</source>
        <comment>nc</comment>
        <translation>Aktualizacja instalacji w %1 została przerwana. Najpierw uruchom aktualizator tej instalacji, aby mógł ją przywrócić.</translation>
    </message>
    <message>
        <source>The files an earlier update left could not be moved aside: %1</source>
        <comment>nc</comment>
        <translation>Nie można przenieść plików pozostawionych przez wcześniejszą aktualizację: %1</translation>
    </message>
    <message>
        <source>Cannot write %1 (%2)!</source>
        <comment>nc</comment>
        <translation>Nie można zapisać %1 (%2)!</translation>
    </message>
    <message>
        <source>An update of this installation by the user %1 was interrupted, and only that user&apos;s updater can restore it: %1 must start the updater once. Deleting %2 accepts the installation as it is.</source>
        <comment>nc</comment>
        <translation>Aktualizacja tej instalacji przez użytkownika %1 została przerwana i tylko aktualizator tego użytkownika może ją przywrócić: %1 musi raz uruchomić aktualizator. Usunięcie %2 oznacza przyjęcie instalacji w obecnym stanie.</translation>
    </message>
    <message>
        <source>Restoring the previous version…</source>
        <comment>nc</comment>
        <translation>Przywracanie poprzedniej wersji…</translation>
    </message>
    <message>
        <source>only %1 MiB are free on the disk of the download folder %2, and the updater leaves at least %3 MiB free there.</source>
        <comment>nc</comment>
        <translation>na dysku folderu pobierania %2 jest wolnych tylko %1 MiB, a aktualizator zostawia tam co najmniej %3 MiB wolnego miejsca.</translation>
    </message>
    <message>
        <source>The server %1 sent %2 too slowly, so the download was given up.</source>
        <comment>nc</comment>
        <translation>Serwer %1 przesyłał %2 zbyt wolno, więc pobieranie zostało przerwane.</translation>
    </message>
    <message>
        <source>The server sent the rest of %1 from another version of the file.</source>
        <comment>nc</comment>
        <translation>Serwer przesłał resztę %1 z innej wersji pliku.</translation>
    </message>
    <message>
        <source>The server sent more of %1 than the %2 bytes it may have, so the download was given up.</source>
        <comment>nc</comment>
        <translation>Serwer przesłał z %1 więcej niż dozwolone %2 bajtów, więc pobieranie zostało przerwane.</translation>
    </message>
    <message>
        <source>The proxy server %1 asks for a login (407 Proxy Authentication Required) before it passes on the download of %2, and the updater has none to give. Check the proxy settings (%3).</source>
        <comment>nc</comment>
        <translation>Serwer pośredniczący %1 żąda zalogowania (407 Proxy Authentication Required), zanim przekaże pobieranie %2, a aktualizator nie ma danych logowania. Sprawdź ustawienia serwera pośredniczącego (%3).</translation>
    </message>
    <message>
        <source>The download of %1 from the server %2 failed: %3</source>
        <comment>nc</comment>
        <translation>Pobieranie %1 z serwera %2 nie powiodło się: %3</translation>
    </message>
    <message>
        <source>Orvi instant messenger is installed in %1, which this user cannot change, so its updates cannot be installed. Start the updater as a user who may change that folder, such as an administrator.</source>
        <comment>nc</comment>
        <translation>Komunikator Orvi jest zainstalowany w folderze %1, którego ten użytkownik nie może zmieniać, więc nie można zainstalować jego aktualizacji. Uruchom aktualizator jako użytkownik, który może zmieniać ten folder, na przykład administrator.</translation>
    </message>
    <message>
        <source>%1 cannot be read and there is no free name to keep it aside</source>
        <comment>nc</comment>
        <translation>Nie można odczytać pliku %1, a nie ma wolnej nazwy, pod którą można by go odłożyć</translation>
    </message>
    <message>
        <source>The update server %1 could not prove its identity: %2. The updater did not check for updates over this connection; a network that intercepts secure connections may be the cause.</source>
        <comment>nc</comment>
        <translation>Serwer aktualizacji %1 nie potwierdził swojej tożsamości: %2. Aktualizator nie sprawdził aktualizacji przez to połączenie; przyczyną może być sieć przechwytująca bezpieczne połączenia.</translation>
    </message>
    <message>
        <source>Only the changes were downloaded (delta packages) for: %1</source>
        <comment>nc</comment>
        <translation>Pobrano tylko zmiany (pakiety różnicowe) dla: %1</translation>
    </message>
    <message>
        <source>The package&apos;s signature is for changes from another version (%1).</source>
        <comment>nc</comment>
        <translation>Podpis pakietu dotyczy zmian względem innej wersji (%1).</translation>
    </message>
    <message>
        <source>The update server %1 presented a certificate from an authority the updater does not trust. The updater did not check for updates over this connection; a network that intercepts secure connections may be the cause.</source>
        <comment>nc</comment>
        <translation>Serwer aktualizacji %1 przedstawił certyfikat wystawiony przez urząd, któremu aktualizator nie ufa. Aktualizator nie sprawdził aktualizacji przez to połączenie; przyczyną może być sieć przechwytująca bezpieczne połączenia.</translation>
    </message>
    <message>
        <source>The certificate of the update server %1 has expired or is not valid yet. The updater did not check for updates over this connection. Check the date and time of this computer.</source>
        <comment>nc</comment>
        <translation>Certyfikat serwera aktualizacji %1 wygasł lub nie jest jeszcze ważny. Aktualizator nie sprawdził aktualizacji przez to połączenie. Sprawdź datę i godzinę na tym komputerze.</translation>
    </message>
    <message>
        <source>The update server %1 presented a certificate made for another server. The updater did not check for updates over this connection; a network that redirects secure connections may be the cause.</source>
        <comment>nc</comment>
        <translation>Serwer aktualizacji %1 przedstawił certyfikat wystawiony dla innego serwera. Aktualizator nie sprawdził aktualizacji przez to połączenie; przyczyną może być sieć przekierowująca bezpieczne połączenia.</translation>
    </message>
</context>
</TS>
