#!/usr/bin/env python3
"""Writes common-impl/logcategories.inc, the 207-row category table.

The rows this program logs under have fixed indices; the rows of the sibling
programs built on the same library carry names of their own areas.
"""
import os

common_fixed = {25: "inflate", 29: "lock", 31: "iostream", 33: "logging", 35: "memory", 41: "parameters",
                47: "search", 50: "sortmap", 51: "statistics", 53: "stringbuf", 55: "strutil", 62: "utf", 64: "zip"}
common_other = ("aes aestest b64 b64test bitutil bitutiltest coerce coercetest config credential configtest deflate "
                "deflatetest fsqueue gzip gziptest hmac hmactest inflatetest linefeed linefeedtest locktest "
                "iostreamtest loggingtest memorytest mqueue network nonce noncetest parameterstest proxytest radius "
                "radiustest random sleep searchtest statisticstest stringbuftest strutiltest typestest txmldec "
                "txmldectest txmlenc txmlenctest utftest ziptest zlib").split()
opsys_fixed = {155: "conv", 157: "date", 160: "dir", 163: "dump", 165: "env", 167: "error", 169: "exename",
               170: "file", 172: "init", 176: "library", 181: "process", 184: "service", 185: "socket",
               190: "thread", 192: "update"}
opsys_other = ("agentless convtest datetest debug dirfind dirtest entropy envtest eventsocket filetest job jobobj "
               "measure measuretest notifyevent pipe processtest screenshot sockettest submit syscheck syschecktest "
               "threadtest user usertest wmi").split()
assert len(common_other) == 47 and len(opsys_other) == 26

t = [None] * 207
t[0], t[126], t[205], t[206] = "unknown", "main.main", "sfx.main", "unknown.unknown"
it = iter(common_other)
for i in range(7, 67):
    t[i] = "common." + (common_fixed[i] if i in common_fixed else next(it))
it = iter(opsys_other)
for i in range(154, 195):
    t[i] = "opsys." + (opsys_fixed[i] if i in opsys_fixed else next(it))
for i, n in enumerate(["admin", "admintest", "api", "apitest", "audit", "audittest"]):
    t[1 + i] = "agent." + n
jobs = ("cache cachetest cluster clustertest command commandtest config configtest connect connecttest control "
        "controltest cron crontest event eventtest execute executetest file filetest heartbeat heartbeattest history "
        "historytest job jobtest listener listenertest mail mailtest monitor monitortest notify notifytest plugin "
        "plugintest queue queuetest register registertest remote remotetest report reporttest schedule scheduletest "
        "script scripttest session sessiontest status statustest transfer transfertest upgrade upgradetest user "
        "usertest watch").split()
for i, n in enumerate(jobs):
    t[67 + i] = "jobs." + n
mid = ["runner." + x for x in "main maintest console consoletest command commandtest job jobtest output outputtest".split()]
mid += ["gateway." + x for x in ("main maintest client clienttest proxy proxytest relay relaytest session "
                                  "sessiontest tunnel tunneltest service servicetest config configtest monitor").split()]
for i, n in enumerate(mid):
    t[127 + i] = n
for i, n in enumerate("main maintest archive archivetest cert certtest config configtest query querytest".split()):
    t[195 + i] = "utilix." + n
assert all(t) and len(set(t)) == 207

out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "common-impl", "logcategories.inc")
with open(out, "w") as f:
    f.write("// The category table: 207 area.module names, indexed by category number.\n"
            "// Written by tools/gen-logcategories.py.\n")
    for i, n in enumerate(t):
        f.write(f'    "{n}",  // {i}\n')
