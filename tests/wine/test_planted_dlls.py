"""A wininet.dll or iphlpapi.dll planted beside the program is never loaded, even where Wine would prefer
one found on the search path; the system's own are used."""

import rig
from server import RecordingServer, Reply, management_server

PLANTED = ("wininet.dll", "iphlpapi.dll")
PREFER_PLANTED = {"WINEDLLOVERRIDES": "wininet,iphlpapi=n,b;" + rig.DLL_OVERRIDES}


class PlantedDllTest(rig.WineTestCase):
    def setUp(self):
        super().setUp()
        self.probe = self.wine.place("planted", self.wine.program("qrvxprobe.exe"))
        for name in PLANTED:
            self.wine.place("planted", self.wine.program(name))

    def loaded(self, name):
        return (self.wine.work / "planted" / (name + ".loaded")).exists()

    def test_the_rig_notices_a_planted_dll_that_is_loaded(self):
        for name in PLANTED:
            with self.subTest(name):
                self.wine.run(self.probe, ["load", name], env=PREFER_PLANTED)
                self.assertTrue(self.loaded(name))

    def test_http_client_uses_the_system_wininet(self):
        with RecordingServer(lambda request: Reply(b"CONNECTED")) as server:
            result = self.wine.run(self.probe, ["post", "127.0.0.1", "Quorvex/connect_check.php", ""],
                                   env=PREFER_PLANTED)
        self.assertIn(b"reply " + b"CONNECTED".hex().encode(), result.stdout)
        self.assertEqual(len(server.requests), 1)
        self.assertFalse(self.loaded("wininet.dll"))

    def test_adapter_list_uses_the_system_iphlpapi(self):
        self.use_adapters("00:1a:2b:3c:4d:5e")
        result = self.wine.run(self.probe, ["adapters"], env=PREFER_PLANTED)
        self.assertIn(b"address 0 00-1A-2B-3C-4D-5E", result.stdout)
        self.assertFalse(self.loaded("iphlpapi.dll"))

    def test_dry_run_of_the_check_uses_the_system_dlls(self):
        # The check loads WinINet and IP Helper in its dry run alone, as the program does.
        self.use_adapters("00:1a:2b:3c:4d:5e")
        check = self.wine.place("planted", self.wine.build / "qrvxScheck.exe")
        (self.wine.work / "planted" / "qrvxconfig.ini").write_bytes(rig.LOCAL_CONFIG)
        with RecordingServer(management_server([])) as server:
            result = self.wine.run(check, ["preflight"], env=PREFER_PLANTED)
        self.assertIn(b'answered "NOT REGISTERED", HTTP 200', result.stdout)
        self.assertEqual(len(server.requests), 2)
        for name in PLANTED:
            self.assertFalse(self.loaded(name), name)


if __name__ == "__main__":
    rig.run(globals())
