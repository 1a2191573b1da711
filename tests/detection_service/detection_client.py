"""A small client of the detection service for the tests."""

import asyncio
import json

import aiohttp

from detection_service import API_VERSION

GOOD_HEADERS = {
    "Content-Type": "application/json",
    "Authorization": "Bearer token-1",
    "x-governance-instance-id": "instance-1",
    "origin": "sdk",
}


async def _post_async(url, body, headers, ssl):
    data = body if isinstance(body, (str, bytes)) else json.dumps(body)
    async with aiohttp.ClientSession() as session:
        async with session.post(url, data=data, headers=headers, ssl=ssl) as response:
            text = await response.text()
            try:
                decoded = json.loads(text)
            except ValueError:
                decoded = None
            return response.status, decoded, text


def post(server, path, body, headers=GOOD_HEADERS, query=f"version={API_VERSION}", ssl=True):
    """One POST to ``server``: (status, decoded JSON or None, text)."""
    url = f"{server.url}{path}" + (f"?{query}" if query else "")
    return asyncio.run(_post_async(url, body, headers, ssl))
