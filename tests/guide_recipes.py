"""The recipes of docs/server.md, as it marks them: a line
<!-- recipe: NAME --> or <!-- recipe: NAME FILE --> before a code block.

Run as a program, checks the Prometheus recipe with promtool: the
configuration with its rules file, and each alert against series that must
fire it or must not, as promtool's unit tests evaluate them.

Usage: guide_recipes.py
"""
import json
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

GUIDE = pathlib.Path(__file__).resolve().parent.parent / "docs" / "server.md"
MARKED = re.compile(r"^<!-- recipe: (\S+)(?: (\S+))? -->\n```[a-z]*\n(.*?)^```$", re.M | re.S)


def recipe(name, file=None):
    """The blocks of recipe name (those for file, or the commands), in order."""
    blocks = [block for marked, target, block in MARKED.findall(GUIDE.read_text())
              if marked == name and (target or None) == file]
    assert blocks, f"{GUIDE} marks no recipe {name} {file or ''}"
    return blocks


RECEIVER = {"instance": "127.0.0.1:9580", "job": "sealpost-receiver"}
# name, alert, input series (labels beyond the receiver's, promtool's
# expanding notation a minute apart), minutes at evaluation, the alerts
# expected to fire then: their labels beyond the series' own and the
# receiver's, and their summary.
ALERTS = [
    ("silent an hour and 5 minutes", "SealpostBoardSilent",
     [({"__name__": "sealpost_device_last_kept_timestamp_seconds", "device": "board-0042"}, "0x90")], 66,
     [({"device": "board-0042", "severity": "warning"}, "board-0042 has had no post kept for an hour")]),
    ("silent an hour, not yet for 5 minutes", "SealpostBoardSilent",
     [({"__name__": "sealpost_device_last_kept_timestamp_seconds", "device": "board-0042"}, "0x90")], 63, []),
    ("kept every minute", "SealpostBoardSilent",
     [({"__name__": "sealpost_device_last_kept_timestamp_seconds", "device": "board-0043"}, "0+60x90")], 80, []),
    ("not opened, rising for 15 minutes", "SealpostPostsNotOpened",
     [({"__name__": "sealpost_posts_total", "result": "not_opened"}, "0x20 1+1x40")], 40,
     [({"result": "not_opened", "severity": "warning"},
       "posts to 127.0.0.1:9580 do not open: a board seals with a key the receiver lacks")]),
    ("not opened, flat", "SealpostPostsNotOpened",
     [({"__name__": "sealpost_posts_total", "result": "not_opened"}, "7x60"),
      ({"__name__": "sealpost_posts_total", "result": "kept"}, "0+10x60")], 40, []),
    ("forged at once", "SealpostPostsForged",
     [({"__name__": "sealpost_posts_total", "result": "forged"}, "0x20 1x20")], 22,
     [({"result": "forged", "severity": "critical"},
       "127.0.0.1:9580 is sent forged posts; the journal names the device")]),
    ("down 3 minutes", "SealpostReceiverDown", [({"__name__": "up"}, "1x10 0x10")], 13,
     [({"severity": "critical"}, "the receiver on 127.0.0.1:9580 does not answer")]),
    ("up", "SealpostReceiverDown", [({"__name__": "up"}, "1x30")], 20, []),
    ("503 for 6 minutes", "SealpostReceiverUnavailable",
     [({"__name__": "sealpost_posts_total", "result": "unavailable"}, "0x10 0+5x20")], 17,
     [({"result": "unavailable", "severity": "critical"},
       "127.0.0.1:9580 answers posts 503: its store does not keep them")]),
]


def series_text(labels):
    name = labels.get("__name__")
    rest = ",".join(f'{key}="{value}"' for key, value in sorted({**RECEIVER, **labels}.items()) if key != "__name__")
    return f"{name}{{{rest}}}"


class PrometheusRecipe(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if shutil.which("promtool") is None:
            print("SKIPPED: promtool is missing (Debian's prometheus, which ./build.sh test installs)",
                  file=sys.stderr)
            sys.exit(77)
        cls.folder = tempfile.TemporaryDirectory()
        cls.work = pathlib.Path(cls.folder.name)
        (config,) = recipe("prometheus-config")
        (rules,) = recipe("prometheus-rules")
        (cls.work / "prometheus.yml").write_text(config)
        (cls.work / "sealpost.rules.yml").write_text(rules)

    @classmethod
    def tearDownClass(cls):
        cls.folder.cleanup()

    def promtool(self, *args):
        return subprocess.run(["promtool", *args], cwd=self.work, capture_output=True, text=True, timeout=120)

    def test_the_configuration_and_its_rules_check(self):
        run = self.promtool("check", "config", "prometheus.yml")
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
        self.assertIn("SUCCESS: 5 rules found", run.stdout + run.stderr)

    def test_each_alert_fires_when_it_must_and_only_then(self):
        for name, alert, series, minutes, expected in ALERTS:
            with self.subTest(name):
                labels = {key: value for key, value in series[0][0].items() if key != "__name__"}
                exp = [{"exp_labels": {**RECEIVER, **labels, **alert_labels}, "exp_annotations": {"summary": summary}}
                       for alert_labels, summary in expected]
                test = {"rule_files": ["sealpost.rules.yml"], "evaluation_interval": "1m", "tests": [{
                    "interval": "1m",
                    "input_series": [{"series": series_text(labels), "values": values} for labels, values in series],
                    "alert_rule_test": [{"eval_time": f"{minutes}m", "alertname": alert, "exp_alerts": exp}]}]}
                (self.work / "test.yml").write_text(json.dumps(test))
                run = self.promtool("test", "rules", "test.yml")
                self.assertEqual(run.returncode, 0, run.stdout + run.stderr)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
