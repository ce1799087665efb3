"""A web farm: two Apache servers with mod_turnpike that share their sign-ons
through a real memcached or Redis, each started by the test on a free port
of 127.0.0.1 (never the system's services), with the test CAS server.

Each row of STORES is one way of sharing: Apache's own socache providers
(memcache, redis) and the filter's own Redis client (SharedCache, with a
password, which mod_socache_redis cannot send).

    python3 test_farm.py MODULE_SO [unittest arguments]
"""

import os
import socket
import sys
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "support"))
from apache_harness import APACHE_MODULES, Apache, CasProcess, free_port, header, registry_text  # noqa: E402
from store_servers import MemcachedServer, RedisServer  # noqa: E402
from test_mod_turnpike import follow_cas_login, path_of, sign_on  # noqa: E402

MODULE = None  # set from the command line
PASSWORD = "farm-secret-7"
# SharedCache's own time-outs (cache/redis_byte_store.h): connect, command.
CONNECT_TIMEOUT, COMMAND_TIMEOUT = 1.0, 2.0
STORE_FAILED = "The Turnpike filter could not store a sign-on in the shared credentials cache:: "
READ_FAILED = "The Turnpike filter could not read the shared credentials cache:: "


def socache(provider, port, *lines):
    return (['LoadModule socache_%s_module "%s/mod_socache_%s.so"' % (provider, APACHE_MODULES, provider),
             "TurnpikeCache %s:127.0.0.1:%d" % (provider, port)] + list(lines), {})


def shared_cache(port, password=PASSWORD):
    texts = {"SharedCache": "redis://127.0.0.1:%d/3" % port}
    if password is not None:
        texts["SharedCachePassword"] = password
    return [], texts


# name -> (Apache lines, registry texts) for a store on `port`. Apache's
# redis provider keeps its connections for RedisConnPoolTTL: a connection
# that a restarted Redis has closed would otherwise fail the next sign-on.
STORES = {
    "memcache": lambda port: socache("memcache", port),
    "redis": lambda port: socache("redis", port, "RedisConnPoolTTL 100ms"),
    "SharedCache": shared_cache,
}


class Farm:
    """Two Apaches, A and B, configured alike."""

    def __init__(self, cas, store, session_timeout=60):
        lines, texts = store
        registry = registry_text(cas.url, session_timeout=session_timeout, texts=texts)
        self.servers = [Apache(MODULE, registry, servers=2, turnpike_lines=lines) for _ in range(2)]

    def __enter__(self):
        try:
            for apache in self.servers:
                apache.start()
        except BaseException:
            self.__exit__()
            raise
        return self.servers

    def __exit__(self, *exc):
        for apache in self.servers:
            apache.cleanup()


def user_at(apache, cookie):
    """(status, the user shown, or where a redirect goes without its query)."""
    status, _, headers, body = apache.request("/secure/index.shtml", {"Cookie": cookie})
    if status == 200:
        return status, body.decode().split('<span id="user">')[1].split("<")[0]
    return status, (header(headers, "Location") or "").split("?")[0]


class FarmTest(unittest.TestCase):
    maxDiff = None

    @classmethod
    def setUpClass(cls):
        cls.cas = CasProcess().start()
        cls.addClassCleanup(cls.cas.stop)
        cls.memcached = MemcachedServer().__enter__()
        cls.addClassCleanup(cls.memcached.__exit__)
        cls.redis = RedisServer().__enter__()
        cls.addClassCleanup(cls.redis.__exit__)
        cls.locked_redis = RedisServer(password=PASSWORD).__enter__()
        cls.addClassCleanup(cls.locked_redis.__exit__)
        cls.port_of = {"memcache": cls.memcached.port, "redis": cls.redis.port,
                       "SharedCache": cls.locked_redis.port}
        cls.login = cls.cas.url + "/login"

    def test_a_signed_on_at_one_server_let_in_at_the_other_until_it_expires(self):
        for name, store in STORES.items():
            with self.subTest(name):
                with Farm(self.cas, store(self.port_of[name])) as (a, b):
                    cookie = sign_on(a)
                    self.assertEqual([user_at(a, cookie), user_at(b, cookie)], [(200, "alice")] * 2,
                                     b.logs())
                # SessionTimeout 0: expired at once, judged by each server alike.
                with Farm(self.cas, store(self.port_of[name]), session_timeout=0) as (a, b):
                    cookie = sign_on(a)
                    self.assertEqual([user_at(a, cookie), user_at(b, cookie)], [(302, self.login)] * 2)

    def test_b_a_restarted_redis_costs_a_login_and_nothing_else(self):
        for name, server in [("redis", self.redis), ("SharedCache", self.locked_redis)]:
            with self.subTest(name), Farm(self.cas, STORES[name](server.port)) as (a, b):
                cookie = sign_on(a)
                self.assertEqual(user_at(b, cookie), (200, "alice"))
                server.restart()
                # Each process answers a sign-on it has just seen for a second
                # more without asking the store.
                time.sleep(1.2)
                self.assertEqual([user_at(a, cookie), user_at(b, cookie)], [(302, self.login)] * 2)
                cookie = sign_on(b)
                self.assertEqual([user_at(a, cookie), user_at(b, cookie)], [(200, "alice")] * 2)
                for apache in (a, b):
                    self.assertEqual([line for line in apache.access_log_lines() if line[1] >= "500"], [])

    def test_c_an_unreachable_store_lets_nobody_in_and_holds_no_worker(self):
        closed = free_port()
        silent = socket.socket()
        self.addCleanup(silent.close)
        silent.bind(("127.0.0.1", 0))
        silent.listen(64)  # accepts connections, never answers
        rows = [
            ("memcache refused", STORES["memcache"](closed), closed, 1.0),
            ("redis refused", STORES["redis"](closed), closed, 1.0),
            ("SharedCache refused", shared_cache(closed), closed, 1.0),
            ("SharedCache silent", shared_cache(silent.getsockname()[1]), silent.getsockname()[1],
             CONNECT_TIMEOUT + COMMAND_TIMEOUT + 0.5),
        ]
        for name, store, port, longest in rows:
            with self.subTest(name), Farm(self.cas, store) as (apache, _):
                started = time.monotonic()
                status, _, headers, _ = apache.request("/secure/index.shtml")
                self.assertEqual(status, 302)
                back = path_of(follow_cas_login(header(headers, "Location")))
                timed = [self.timed(apache, back, {}),
                         self.timed(apache, "/secure/index.shtml", {"Cookie": "VAVUZE=ST-1-made-up"})]
                # Nobody in: the sign-on cannot be kept (an error, not a cookie
                # that would send the browser round the login page), a cookie
                # cannot be checked.
                self.assertEqual([(status, cookie) for status, cookie, _ in timed],
                                 [(500, None), (302, None)])
                for _, _, seconds in timed:
                    self.assertLess(seconds, longest)
                self.assertEqual(apache.request("/public/page.txt")[0], 200)
                address = "127.0.0.1:%d" % port
                named = [text.split(":: ")[0] + ":: " for _, number, text in apache.turnpike_events()
                         if number == 1 and address in text]
                # Apache's providers mark a server they could not reach dead
                # for a while and then answer "not found": an unknown cookie.
                expected = [STORE_FAILED, READ_FAILED] if name.startswith("SharedCache") else [STORE_FAILED]
                self.assertEqual(named[:len(expected)], expected, named)
                self.assertLess(time.monotonic() - started, 3 * longest + 5)

    def timed(self, apache, path, headers):
        started = time.monotonic()
        status, _, answer, _ = apache.request(path, headers)
        cookie = header(answer, "Set-Cookie")
        return status, cookie if cookie and cookie.startswith("VAVUZE=") else None, time.monotonic() - started

    def test_d_a_password_the_redis_server_refuses_stops_apache_at_start(self):
        rows = [
            ("wrong password", "guessed-password", "AUTH: WRONGPASS"),
            ("no password", None, "SELECT: NOAUTH"),
        ]
        for name, password, reason in rows:
            with self.subTest(name):
                lines, texts = shared_cache(self.locked_redis.port, password)
                apache = Apache(MODULE, registry_text(self.cas.url, texts=texts), turnpike_lines=lines)
                try:
                    expected = ("The Turnpike filter was refused by the shared credentials cache, please "
                                "check SharedCache and SharedCachePassword:: redis://127.0.0.1:%d/3: %s"
                                % (self.locked_redis.port, reason))
                    status, output = apache.config_test()
                    self.assertNotEqual(status, 0)
                    self.assertIn(expected, output)
                    apache.start(wait=False)
                    self.assertNotEqual(apache.wait_for_exit(), 0)
                    self.assertIn(expected, apache.error_log_text())
                    # The password is never written to the log.
                    self.assertNotIn("guessed-password", apache.error_log_text() + output)
                finally:
                    apache.cleanup()


if __name__ == "__main__":
    MODULE = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
