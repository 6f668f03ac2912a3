"""The adapters' hardware addresses as Wine's IP Helper lists the namespace's devices."""

import rig

A = "00:1a:2b:3c:4d:5e"
B = "00:1a:2b:3c:4d:5f"
TEXT_A = "00-1A-2B-3C-4D-5E"
TEXT_B = "00-1A-2B-3C-4D-5F"
ZERO = "00-00-00-00-00-00"


class AdapterTest(rig.WineTestCase):
    def probe(self):
        """(count, [address text at index 0 .. count]), the last one asked one past the end."""
        result = self.wine.run(self.wine.place("probe", self.wine.program("qrvxprobe.exe")), ["adapters"])
        lines = result.stdout.decode().split("\n")
        count = int(lines[0].split()[1])
        addresses = [line.split()[2] for line in lines[1:] if line.startswith("address ")]
        return count, addresses

    def test_addresses_by_index(self):
        cases = [
            ("two adapters", [A, B], 2, [TEXT_A, TEXT_B, TEXT_B]),
            ("upper case, two digits", ["02:0a:b0:0c:d0:ef"], 1, ["02-0A-B0-0C-D0-EF"] * 2),
            ("all-zero first is passed over", ["tun", A, B], 3, [TEXT_B, TEXT_A, TEXT_B, TEXT_B]),
            ("all-zero alone is kept", ["tun"], 1, [ZERO, ZERO]),
            ("all-zero last is kept", [A, "tun"], 2, [TEXT_A, ZERO, ZERO]),
        ]
        for name, kinds, count, addresses in cases:
            with self.subTest(name):
                self.use_adapters(*kinds)
                self.assertEqual(self.probe(), (count, addresses))

    def test_no_adapter_is_an_empty_list(self):
        # The output is left as it was: the probe's marker text comes back.
        self.assertEqual(self.probe(), (0, ["untouched"]))


if __name__ == "__main__":
    rig.run(globals())
