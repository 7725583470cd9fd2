'''python-dbusmock template: NetworkManager as the settings tests need it.

The stock template lacks the two properties trancad uses: a read-write
GlobalDnsConfiguration (a{sv}) and PrimaryConnection with an active
connection that has a name. A write replaces the whole property, as in
NetworkManager, so a writer that forgets the searches, options or other
domains loses them here too and the test sees it.

Parameters: "GlobalDns" (searches/options lists, domains: name -> {servers,
options}), "ConnectionId" (the primary connection's name, "" for none).
'''

import dbus
import dbusmock
from dbusmock.templates.networkmanager import *  # noqa: F401,F403 (methods of the stock template)
from dbusmock.templates import networkmanager as stock

BUS_NAME = stock.BUS_NAME
MAIN_OBJ = stock.MAIN_OBJ
SYSTEM_BUS = True
IS_OBJECT_MANAGER = True

ACTIVE_PATH = '/org/freedesktop/NetworkManager/ActiveConnection/1'


def _strings(items):
    return dbus.Array([str(item) for item in items], signature='s')


def global_dns(spec):
    '''Plain nested dicts/lists -> the a{sv} NetworkManager publishes.'''
    result = dbus.Dictionary({}, signature='sv')
    for key in ('searches', 'options'):
        if key in spec:
            result[key] = _strings(spec[key])
    if 'domains' in spec:
        domains = dbus.Dictionary({}, signature='sv')
        for name, domain in spec['domains'].items():
            entry = dbus.Dictionary({}, signature='sv')
            for key in ('servers', 'options'):
                if key in domain:
                    entry[key] = _strings(domain[key])
            domains[name] = entry
        result['domains'] = domains
    return result


def load(mock, parameters):
    stock.load(mock, parameters)
    connection_id = parameters.get('ConnectionId', 'Cable de prueba')
    primary = dbus.ObjectPath('/')
    if connection_id:
        mock.AddObject(ACTIVE_PATH, stock.ACTIVE_CONNECTION_IFACE,
                       {'Id': connection_id, 'Uuid': 'a6a1c0de-0000-4000-8000-000000000001',
                        'Type': '802-3-ethernet', 'State': dbus.UInt32(2),
                        'Default': True, 'Default6': False,
                        'Devices': dbus.Array([], signature='o')},
                       [])
        primary = dbus.ObjectPath(ACTIVE_PATH)
    manager = dbusmock.get_object(stock.MANAGER_OBJ)
    manager.AddProperties(stock.MANAGER_IFACE, {
        'PrimaryConnection': primary,
        'GlobalDnsConfiguration': global_dns(parameters.get('GlobalDns', {})),
    })
