#!/usr/bin/env python3
"""Firefox's policies.json edited for the installer scripts, keeping whatever
else is in it (common.sh's firefox_policies describes the actions and the
exit statuses)."""
import json
import sys

OURS = {"Enabled": False, "Locked": True}
# The keyword filter's proxy (PROXY_PORT of proxy_common.sh), locked so that
# "No proxy" in the settings cannot skip it.
OUR_PROXY = {"Mode": "manual", "HTTPProxy": "127.0.0.1:8080", "SSLProxy": "127.0.0.1:8080",
             "Locked": True}
action, path, other = sys.argv[1:4]
previous = sys.argv[4] if len(sys.argv) > 4 else ""
try:
    data = {}
    if path:
        with open(path, encoding="utf-8") as handle:
            data = json.load(handle)
    policies = data.setdefault("policies", {})
    if action in ("add", "remove"):
        certificates = policies.setdefault("Certificates", {})
        install = certificates.setdefault("Install", [])
        if not isinstance(install, list):
            sys.exit(3)
except (OSError, ValueError, AttributeError):
    sys.exit(3)
if not isinstance(policies, dict):
    sys.exit(3)
if action == "lock":
    if "DNSOverHTTPS" in policies:
        with open(other, "w", encoding="utf-8") as handle:
            json.dump(policies["DNSOverHTTPS"], handle)
    policies["DNSOverHTTPS"] = OURS
elif action == "unlock":
    if policies.get("DNSOverHTTPS") != OURS:
        sys.exit(4)
    try:
        with open(other, encoding="utf-8") as handle:
            policies["DNSOverHTTPS"] = json.load(handle)
    except FileNotFoundError:
        del policies["DNSOverHTTPS"]
elif action == "add":
    if other not in install:
        install.append(other)
    if policies.get("Proxy", OUR_PROXY) != OUR_PROXY:
        with open(previous, "w", encoding="utf-8") as handle:
            json.dump(policies["Proxy"], handle)
    policies["Proxy"] = OUR_PROXY
else:
    install[:] = [item for item in install if item != other]
    if not install:
        del certificates["Install"]
    if not certificates:
        del policies["Certificates"]
    if policies.get("Proxy") == OUR_PROXY:
        try:
            with open(previous, encoding="utf-8") as handle:
                policies["Proxy"] = json.load(handle)
        except FileNotFoundError:
            del policies["Proxy"]
sys.stdout.reconfigure(encoding="utf-8")
json.dump(data, sys.stdout, indent=2, ensure_ascii=False)
print()
